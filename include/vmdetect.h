/* vmdetect: what this machine is (hypervisor, container manager, firmware
 * and cloud identity) as one JSON object. C99 and C++. */
#ifndef VMDETECT_H
#define VMDETECT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Local evidence only: no metadata service is asked. */
#define VMDETECT_REPORT_NO_NETWORK 0x1u

/* Writes the report, one line of JSON in UTF-8, into `buffer` as snprintf
 * does: truncated to `size` - 1 bytes and NUL-terminated when `size` > 0.
 * Returns the length of the whole report without the NUL (so
 * vmdetect_report(NULL, 0, options) sizes the buffer), or -1 for unknown
 * option bits or when no report can be made. Thread-safe; the evidence is
 * read once per process, so later calls are a copy. */
#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
int vmdetect_report(char* buffer, size_t size, unsigned int options);

/* Collects what the report reads (firmware files, CPUID leaves, kernel and
 * container marks; serial numbers and UUIDs only with
 * VMDETECT_COLLECT_PRIVATE) into the directory `dir`, which is made, or must
 * be empty. No file is overwritten and nothing is sent. A process that sets
 * VMDETECT_EVIDENCE=dir before its first report call reads its report from
 * that directory instead of the machine. Returns 0, or -1 with errno set
 * (EINVAL for a bad argument, ENOTEMPTY when `dir` holds anything, or why
 * it could not be written). */
#define VMDETECT_COLLECT_PRIVATE 0x1u
#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
int vmdetect_collect(const char* dir, unsigned int options);

#ifdef __cplusplus
}
#endif

#endif /* VMDETECT_H */
