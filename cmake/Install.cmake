# Install layout, CMake package, pkg-config file and Debian packages.
#
#   runtime: libvmdetect.so.1*, the vmdetect command and its man page
#   devel:   headers under include/vmdetect, the libvmdetect.so link, the
#            CMake package (vmdetect::vmdetect) and vmdetect.pc
#   python:  the Python package vmdetect (pure Python, over libvmdetect.so.1)
include(CMakePackageConfigHelpers)

set(VMDETECT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vmdetect)
set(VMDETECT_PUBLIC_HEADERS
    ${PROJECT_SOURCE_DIR}/include/ZTVMDetect.h
    ${PROJECT_SOURCE_DIR}/include/vmdetect.h
    ${PROJECT_SOURCE_DIR}/include/EvDebug.h
    ${PROJECT_SOURCE_DIR}/include/CYbError.h)

install(TARGETS vmdetect EXPORT vmdetectTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT devel)
install(FILES ${VMDETECT_PUBLIC_HEADERS}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vmdetect
  COMPONENT devel)

# A command linked to the shared library finds it next to it when the prefix is not a system
# one (a temporary prefix, /opt/...); in /usr it needs no run path.
file(RELATIVE_PATH VMDETECT_BIN_TO_LIB
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} VMDETECT_SYSTEM_LIBDIR)
if(VMDETECT_SYSTEM_LIBDIR EQUAL -1 AND NOT VMDETECT_CLI_SELF_CONTAINED)
  set_target_properties(vmdetect_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${VMDETECT_BIN_TO_LIB}")
endif()
install(TARGETS vmdetect_cli
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/doc/vmdetect.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT runtime)

# The boot-time unit that runs vmdetect --write /run/vmdetect. Under the
# prefix (lib/systemd/system), so that a package puts it in
# /usr/lib/systemd/system and a test install stays in its own prefix.
set(VMDETECT_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit is installed, relative to the prefix")
configure_file(${PROJECT_SOURCE_DIR}/dist/vmdetect-report.service.in
  ${PROJECT_BINARY_DIR}/vmdetect-report.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vmdetect-report.service
  DESTINATION ${VMDETECT_SYSTEMD_UNIT_DIR}
  COMPONENT runtime)

# The Python package, where this prefix's python3 looks: Debian's reads
# lib/python3/dist-packages under /usr and lib/python3.X/dist-packages under
# /usr/local (any other prefix needs PYTHONPATH). Debian's own interpreter
# decides X, not one that happens to come first on PATH.
find_program(VMDETECT_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VMDETECT_PYTHON3 python3)
set(VMDETECT_PYTHON_DIR "" CACHE STRING
    "Where the Python package is installed, relative to the prefix (empty: where its python3 looks)")
set(VMDETECT_PYTHON_INSTALL_DIR ${VMDETECT_PYTHON_DIR})
if(NOT VMDETECT_PYTHON_INSTALL_DIR AND CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VMDETECT_PYTHON_INSTALL_DIR lib/python3/dist-packages)
elseif(NOT VMDETECT_PYTHON_INSTALL_DIR)
  set(VMDETECT_PYTHON_VERSION 3)
  if(VMDETECT_PYTHON3)
    execute_process(COMMAND ${VMDETECT_PYTHON3} -c "import sys; print('%d.%d' % sys.version_info[:2])"
      OUTPUT_VARIABLE VMDETECT_PYTHON_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  set(VMDETECT_PYTHON_INSTALL_DIR lib/python${VMDETECT_PYTHON_VERSION}/dist-packages)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/python/vmdetect/__init__.py
              ${PROJECT_SOURCE_DIR}/python/vmdetect/py.typed
  DESTINATION ${VMDETECT_PYTHON_INSTALL_DIR}/vmdetect
  COMPONENT python)

# CMake package. The library's own dependencies are private to it (linked
# into the shared object), so the exported target names none of them.
install(EXPORT vmdetectTargets
  NAMESPACE vmdetect::
  DESTINATION ${VMDETECT_CMAKE_DIR}
  COMPONENT devel)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/vmdetectConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vmdetectConfig.cmake
  INSTALL_DESTINATION ${VMDETECT_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/vmdetectConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/vmdetectConfig.cmake
  ${PROJECT_BINARY_DIR}/vmdetectConfigVersion.cmake
  DESTINATION ${VMDETECT_CMAKE_DIR}
  COMPONENT devel)

# pkg-config. The prefix is the one given at install time
# (cmake --install --prefix), not the one configured, so the file is written
# by the install step itself.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(PC_${kind} "${CMAKE_INSTALL_${kind}}")
  elseif(kind STREQUAL "LIBDIR")
    set(PC_${kind} "\${exec_prefix}/${CMAKE_INSTALL_${kind}}")
  else()
    set(PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(PC_PREFIX "@PC_PREFIX@")  # filled at install time
configure_file(${PROJECT_SOURCE_DIR}/cmake/vmdetect.pc.in
  ${PROJECT_BINARY_DIR}/vmdetect.pc.template @ONLY)
set(VMDETECT_PC_STAGED ${PROJECT_BINARY_DIR}/pkgconfig-install/vmdetect.pc)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/vmdetect.pc.template\" pc)
  string(REPLACE \"@PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  file(WRITE \"${VMDETECT_PC_STAGED}\" \"\${pc}\")
" COMPONENT devel)
install(FILES ${VMDETECT_PC_STAGED}
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT devel)

# Debian packages: "vmdetect" (library and command) and "libvmdetect-dev".
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vmdetect)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vmdetect")
set(CPACK_PACKAGE_CONTACT "vmdetect maintainers <root@localhost>")
# Each component's description starts with its own summary line.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime devel python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME vmdetect)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
# libcurl is loaded at run time, so dpkg-shlibdeps cannot see it. The oldest
# options the client sets (CURLOPT_NOPROXY, the CURLOPT_PROTOCOLS bit masks it
# falls back to where the protocol names are refused) came with 7.19.4.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "dmidecode, libcurl4 (>= 7.19.4), libinih1")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "detects the virtualisation or cloud platform of this machine and its identity
libvmdetect tells a process on which virtualisation or cloud platform its
machine runs (VMware, Hyper-V, Azure, Xen, KVM, Amazon EC2, Google Cloud,
Oracle Cloud, Alibaba Cloud; Docker host, Xen control domain) and what the
machine's identity there is. This package holds the library and the
vmdetect command.")
set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME libvmdetect-dev)
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVEL_PACKAGE_DEPENDS "vmdetect (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVEL_DESCRIPTION
  "development files of libvmdetect
Headers, CMake package (find_package(vmdetect)) and pkg-config file of
libvmdetect.")
# Pure Python: byte-compiled on installation and cleaned on removal by
# Debian's own py3compile and py3clean, as dh_python3 would arrange.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vmdetect)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "vmdetect (= ${PROJECT_VERSION}), python3")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/dist/python3-vmdetect/postinst
  ${PROJECT_SOURCE_DIR}/dist/python3-vmdetect/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
  "Python package of libvmdetect
vmdetect.report() and vmdetect.detect_hypervisor() in Python: the platform
report and the flag word of libvmdetect, through ctypes.")
# The command needs the library of its own package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR})
include(CPack)
