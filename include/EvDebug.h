// Logging base of the detector. Lines go where VMDETECT_LOG says (a file,
// "stderr" or "syslog"), filtered by VMDETECT_LOG_LEVEL.
// `function` is a fixed text, one kFunction constant per logging function.
#pragma once

class EvDebugFileInstance;

// Exported: ZTVMDetect derives from it publicly, so its callers may log
// through the inherited operations.
class __attribute__((visibility("default"))) EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* instance);
    ~EvDebug();
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    void Debug(const char* function, const char* format, ...) const
        __attribute__((format(printf, 3, 4)));
    void DebugLvl(const char* function, int level, const char* format, ...) const
        __attribute__((format(printf, 4, 5)));
    void Error(const char* function, const char* format, ...) const
        __attribute__((format(printf, 3, 4)));

private:
    [[maybe_unused]] EvDebugFileInstance* m_instance;
};
