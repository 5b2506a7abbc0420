// vmdetect: prints the platform this machine runs on and its identity there.
// It uses only the library's public interface, as any other caller would.
#include <ZTVMDetect.h>
#include <vmdetect.h>
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "EndpointVariables.h"
#include "Escape.h"
#include "Nfd.h"
#include "Otel.h"
#include "Prometheus.h"
#include "Write.h"

#ifndef VMDETECT_VERSION
#define VMDETECT_VERSION "unknown"
#endif

namespace {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitNothing = 1;  // --quiet and no bit set
constexpr int kExitNotWritten = 1;  // --write or --collect could not write its directory
constexpr int kExitNoEvidence = 1;  // --evidence names no evidence directory
constexpr int kExitNotConfidential = 1;  // --cvm: not a confidential guest
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 3;  // output not written, or the library failed

// The guest bits: only these make the identity answers meaningful.
constexpr unsigned int kGuestMask = HV_VMWARE_VM | HV_HYPERV_VM | HV_XEN_VM | HV_KVM_VM |
                                    HV_AMAZON_VM | HV_AZURE_VM | HV_GOOGLECLOUD_VM | HV_OCI_VM |
                                    HV_ALIBABA_VM;
constexpr const char* kDefaultVerboseLevel = "4";
constexpr long kMaxLogLevel = 1000;

// Keep in step with doc/vmdetect.1: a test compares the two.
#define VMDETECT_OPTIONS_TEXT                                                              \
    "Options:\n"                                                                           \
    "      --json          print one JSON object instead of text\n"                       \
    "      --report        print only the platform report, one line of JSON\n"            \
    "      --otel          print only the report as OpenTelemetry resource attributes\n" \
    "      --prometheus    print only the report as a Prometheus info metric\n"        \
    "      --nfd           print only the report as node-feature-discovery features\n" \
    "      --write DIR     write report.json, otel.env, vmdetect.prom and\n"           \
    "                      vmdetect.features into DIR\n"                              \
    "      --cvm           print the confidential VM technology, or none\n"            \
    "      --no-network    report local evidence only; ask no metadata service\n"         \
    "      --collect DIR   copy the report's evidence into DIR, then print the report\n" \
    "      --private       with --collect: copy serial numbers and UUIDs too\n"        \
    "      --evidence DIR  make the report from DIR, collected earlier, not the machine\n" \
    "  -q, --quiet         print nothing; exit 0 when a platform bit is set, 1 when none\n" \
    "  -v, --verbose[=N]   log to standard error at level N (default 4)\n"                \
    "  -h, --help          print this help and exit\n"                                    \
    "      --version       print the version and exit\n"

constexpr const char* kUsage =
    "Usage: vmdetect [OPTION]...\n" VMDETECT_OPTIONS_TEXT
    "Try 'vmdetect --help' for more information.\n";

constexpr const char* kHelp =
    "Usage: vmdetect [OPTION]...\n"
    "Print the virtualisation or cloud platform this machine runs on and its\n"
    "identity there: UUID or instance id, zone, region and project id.\n"
    "\n" VMDETECT_OPTIONS_TEXT
    "\n"
    "Exit status:\n"
    "  0  success; with --quiet: a platform bit is set\n"
    "  1  with --quiet: no bit is set; with --write or --collect: DIR could not be\n"
    "     written; with --evidence: DIR is no evidence directory; with --cvm: none\n"
    "  2  usage error\n"
    "  3  the output could not be written, or the library failed\n"
    "\n"
    "Environment:\n"
    "  VMDETECT_CONFIG                    configuration file (/etc/vmdetect/vmdetect.conf)\n"
    "  VMDETECT_LOG                       log destination: a file, stderr or syslog\n"
    "  VMDETECT_LOG_LEVEL                 log threshold (0: errors only)\n"
    "  HOST_PROC                          process file system root (/proc)\n"
    "  HOST_SYS                           sysfs root (/sys)\n"
    "  HOST_ROOT                          root of the host's files (/)\n"
    "  VMDETECT_EVIDENCE                  evidence directory the report reads instead\n"
    VMDETECT_ENDPOINT_HELP_TEXT
    "\n"
    "See vmdetect(1).\n";

struct Options {
    bool json = false;
    bool report = false;
    bool noNetwork = false;
    bool otel = false;
    bool prometheus = false;
    bool nfd = false;
    std::string writeDir;  // --write: "" when not given
    bool cvm = false;
    std::string collectDir;   // --collect: "" when not given
    bool withPrivate = false;
    std::string evidenceDir;  // --evidence: "" when not given
    bool quiet = false;
    bool verbose = false;
    std::string level = kDefaultVerboseLevel;
};

enum ParseResult { kRun, kHelpShown, kVersionShown, kUsageError };

void Usage(const char* message) {
    if (message != nullptr) {
        std::fprintf(stderr, "vmdetect: %s\n", message);
    }
    std::fputs(kUsage, stderr);
}

// A log level: a whole non-negative decimal number, clamped to what the
// library accepts.
bool ParseLevel(const char* text, std::string& level) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > kMaxLogLevel) {
            value = kMaxLogLevel;
        }
    }
    level = std::to_string(value);
    return true;
}

// No operands; the report's forms one at a time and alone.
bool Consistent(int argc, char** argv, const Options& options) {
    if (optind < argc) {
        const std::string message = std::string("unexpected argument '") + argv[optind] + "'";
        Usage(message.c_str());
        return false;
    }
    const int reportForms = int{options.report} + int{options.otel} + int{options.prometheus} +
                            int{options.nfd} + int{!options.writeDir.empty()} + int{options.cvm} +
                            int{!options.collectDir.empty()};
    if (reportForms > 1 || (reportForms == 1 && options.json) ||
        (reportForms == 1 && options.quiet && !options.cvm)) {
        Usage("--report, --otel, --prometheus, --nfd, --write, --cvm and --collect go alone, without --json or --quiet");
        return false;
    }
    if (options.withPrivate && options.collectDir.empty()) {
        Usage("--private goes with --collect");
        return false;
    }
    if (!options.evidenceDir.empty() && (options.json || (options.quiet && !options.cvm) ||
                                         !options.collectDir.empty())) {
        Usage("--evidence goes with --report, --otel, --prometheus, --nfd, --write or --cvm");
        return false;
    }
    return true;
}

// A directory argument: not empty.
bool DirectoryArgument(const char* option, std::string& dir) {
    if (optarg == nullptr || *optarg == '\0') {
        const std::string message = std::string(option) + " needs a directory";
        Usage(message.c_str());
        return false;
    }
    dir = optarg;
    return true;
}

ParseResult ParseOptions(int argc, char** argv, Options& options) {
    enum { kOptJson = 256, kOptVersion, kOptReport, kOptNoNetwork, kOptOtel, kOptPrometheus,
           kOptWrite, kOptNfd, kOptCvm, kOptCollect, kOptPrivate, kOptEvidence };
    static const option kLongOptions[] = {
        {"json", no_argument, nullptr, kOptJson},
        {"report", no_argument, nullptr, kOptReport},
        {"no-network", no_argument, nullptr, kOptNoNetwork},
        {"otel", no_argument, nullptr, kOptOtel},
        {"prometheus", no_argument, nullptr, kOptPrometheus},
        {"nfd", no_argument, nullptr, kOptNfd},
        {"write", required_argument, nullptr, kOptWrite},
        {"cvm", no_argument, nullptr, kOptCvm},
        {"collect", required_argument, nullptr, kOptCollect},
        {"private", no_argument, nullptr, kOptPrivate},
        {"evidence", required_argument, nullptr, kOptEvidence},
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", optional_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kOptVersion},
        {nullptr, 0, nullptr, 0},
    };
    bool help = false;
    bool version = false;
    int c;
    while ((c = getopt_long(argc, argv, "qv::h", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case kOptJson: options.json = true; break;
            case kOptReport: options.report = true; break;
            case kOptNoNetwork: options.noNetwork = true; break;
            case kOptOtel: options.otel = true; break;
            case kOptPrometheus: options.prometheus = true; break;
            case kOptNfd: options.nfd = true; break;
            case kOptWrite:
                if (!DirectoryArgument("--write", options.writeDir)) return kUsageError;
                break;
            case kOptCvm: options.cvm = true; break;
            case kOptCollect:
                if (!DirectoryArgument("--collect", options.collectDir)) return kUsageError;
                break;
            case kOptPrivate: options.withPrivate = true; break;
            case kOptEvidence:
                if (!DirectoryArgument("--evidence", options.evidenceDir)) return kUsageError;
                break;
            case 'q': options.quiet = true; break;
            case 'v':
                options.verbose = true;
                if (optarg != nullptr && !ParseLevel(optarg, options.level)) {
                    Usage("the log level must be a whole non-negative number");
                    return kUsageError;
                }
                break;
            case 'h': help = true; break;
            case kOptVersion: version = true; break;
            default:  // getopt_long has named the option already
                Usage(nullptr);
                return kUsageError;
        }
    }
    if (!Consistent(argc, argv, options)) {
        return kUsageError;
    }
    if (help) {
        std::fputs(kHelp, stdout);
        return kHelpShown;
    }
    if (version) {
        std::printf("vmdetect %s\n", VMDETECT_VERSION);
        return kVersionShown;
    }
    return kRun;
}

// The library logs its errors to stderr by default; the command stays silent
// unless asked (-v) or unless the caller chose a destination already.
void ConfigureLog(const Options& options) {
    if (options.verbose) {
        ::setenv("VMDETECT_LOG", "stderr", 1);
        ::setenv("VMDETECT_LOG_LEVEL", options.level.c_str(), 1);
        return;
    }
    const char* destination = std::getenv("VMDETECT_LOG");
    if (destination == nullptr || *destination == '\0') {
        ::setenv("VMDETECT_LOG", "/dev/null", 1);
    }
}

struct Answers {
    unsigned int flags = 0;
    std::string text;
    std::vector<std::string> platforms;
    std::string uuid;
    std::string zone;
    std::string region;
    std::string projectId;
    std::string report;  // the platform report's JSON object; "" when none
};

// The platform report through the public call: sized first, then filled.
std::string Report(const Options& options) {
    const unsigned int flags = options.noNetwork ? VMDETECT_REPORT_NO_NETWORK : 0u;
    const int length = vmdetect_report(nullptr, 0, flags);
    if (length < 0) {
        return "";
    }
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    const int written = vmdetect_report(buffer.data(), buffer.size(), flags);
    if (written < 0 || written > length) {
        return "";
    }
    return std::string(buffer.data(), static_cast<std::size_t>(written));
}

// The value of a top-level key of the report whose value is a plain name
// ("hypervisor", "container"): these hold no escapes.
std::string ReportName(const std::string& report, const char* key) {
    const std::string marker = std::string("\"") + key + "\":\"";
    const std::size_t at = report.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t start = at + marker.size();
    const std::size_t end = report.find('"', start);
    return end == std::string::npos ? "" : report.substr(start, end - start);
}

Answers Query(const Options& options) {
    Answers answers;
    answers.report = Report(options);
    answers.flags = DetectHypervisor();
    // Without a guest bit the identity outputs are known to stay untouched:
    // skip four more passes over the firmware.
    if ((answers.flags & kGuestMask) != 0) {
        GetLocalVMUUID(answers.uuid);
        GetLocalVMHostName(answers.zone);
        GetLocalVMDataCenterName(answers.region);
        GetLocalProjectId(answers.projectId);
    }
    ZTVMDetect detector;
    answers.text = detector.GetHypervisorString(answers.flags);
    for (unsigned int i = 0; i < 32; ++i) {
        const unsigned int bit = 1u << i;
        if ((answers.flags & bit) != 0) {
            std::string name = detector.GetHypervisorString(bit);
            if (!name.empty()) {
                answers.platforms.push_back(std::move(name));
            }
        }
    }
    return answers;
}

std::string Json(const Answers& a) {
    std::string out = "{\"flags\":" + std::to_string(a.flags) + ",\"platform\":[";
    for (std::size_t i = 0; i < a.platforms.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += vmdetect_cli::JsonString(a.platforms[i]);
    }
    out += "],\"uuid\":" + vmdetect_cli::JsonString(a.uuid);
    out += ",\"zone\":" + vmdetect_cli::JsonString(a.zone);
    out += ",\"region\":" + vmdetect_cli::JsonString(a.region);
    out += ",\"project_id\":" + vmdetect_cli::JsonString(a.projectId);
    out += ",\"report\":" + (a.report.empty() ? std::string("{}") : a.report);
    out += "}\n";
    return out;
}

void TextLine(std::string& out, const char* key, const std::string& value) {
    out += key;
    out += ':';
    if (!value.empty()) {
        out.append(12 - std::strlen(key), ' ');
        out += vmdetect_cli::TextValue(value);
    }
    out += '\n';
}

std::string Text(const Answers& a) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%x", a.flags);
    std::string out;
    TextLine(out, "platform", a.text.empty() ? std::string("none") : a.text);
    TextLine(out, "flags", flags);
    TextLine(out, "uuid", a.uuid);
    TextLine(out, "zone", a.zone);
    TextLine(out, "region", a.region);
    TextLine(out, "project_id", a.projectId);
    TextLine(out, "hypervisor", ReportName(a.report, "hypervisor"));
    TextLine(out, "container", ReportName(a.report, "container"));
    return out;
}

// A form that prints or writes the report alone.
bool ReportForm(const Options& o) {
    return o.report || o.otel || o.prometheus || o.nfd || o.cvm || !o.writeDir.empty();
}

// Output that cannot be written (a full disk, a closed pipe) is a failure,
// not a silent success.
int FinishOutput(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "vmdetect: cannot write the output: %s\n", std::strerror(errno));
        return kExitFailure;
    }
    return status;
}

// --cvm: the name alone, exiting as systemd-detect-virt --cvm does; with
// --quiet only the status.
int Confidential(const Options& options, const std::string& report) {
    std::string name = ReportName(report, "confidential");
    if (name.empty()) {
        name = "none";
    }
    if (!options.quiet) {
        std::printf("%s\n", name.c_str());
    }
    return FinishOutput(name != "none" ? kExitOk : kExitNotConfidential);
}

// What a form left out: debug lines in the library's log, so on stderr under
// -v and nowhere by default.
void LogNotes(const vmdetect_cli::Notes& notes) {
    if (notes.empty()) {
        return;
    }
    static constexpr const char* kFunction = "vmdetect";
    const ZTVMDetect log;
    for (const std::string& note : notes) {
        log.Debug(kFunction, "%s", note.c_str());
    }
}

// Only the report: none of the five entry points, no process.
int ReportOnly(const Options& options) {
    const std::string report = Report(options);
    const std::string& replayed = options.evidenceDir.empty() ? options.collectDir : options.evidenceDir;
    if (report.empty() && !replayed.empty()) {
        std::fprintf(stderr, "vmdetect: %s is not a vmdetect evidence directory (no format line 'vmdetect-evidence 1')\n",
                     replayed.c_str());
        return kExitNoEvidence;
    }
    if (options.cvm && !report.empty()) {
        return Confidential(options, report);
    }
    std::string out = report + "\n";
    vmdetect_cli::Files files;
    vmdetect_cli::Notes notes;
    const bool made = !report.empty() &&
                      (!options.otel || vmdetect_cli::OtelLine(report, out, &notes)) &&
                      (!options.prometheus || vmdetect_cli::PrometheusText(report, out)) &&
                      (!options.nfd || vmdetect_cli::NfdLines(report, out, &notes)) &&
                      (options.writeDir.empty() || vmdetect_cli::MakeFiles(report, files, &notes));
    LogNotes(notes);
    if (!made) {
        std::fputs("vmdetect: no report could be made\n", stderr);
        return kExitFailure;
    }
    if (!options.writeDir.empty()) {
        const std::string error = vmdetect_cli::WriteFiles(options.writeDir, files);
        if (!error.empty()) {
            std::fprintf(stderr, "vmdetect: %s\n", error.c_str());
            return kExitNotWritten;
        }
        return kExitOk;
    }
    if (options.otel) {
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return FinishOutput(kExitOk);
}

// --collect: the evidence into DIR, which the report then reads.
int Collect(const Options& options) {
    const unsigned int flags = options.withPrivate ? VMDETECT_COLLECT_PRIVATE : 0u;
    if (vmdetect_collect(options.collectDir.c_str(), flags) != 0) {
        const int error = errno;
        std::fprintf(stderr, "vmdetect: cannot collect into %s: %s\n", options.collectDir.c_str(),
                     error == ENOTEMPTY ? "it exists and is not empty" : std::strerror(error));
        return kExitNotWritten;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (ParseOptions(argc, argv, options)) {
        case kRun: break;
        case kHelpShown:
        case kVersionShown: return FinishOutput(kExitOk);
        case kUsageError: return kExitUsage;
    }
    ConfigureLog(options);
    try {
        if (!options.collectDir.empty()) {
            const int status = Collect(options);
            if (status != kExitOk) {
                return status;
            }
        }
        if (!options.evidenceDir.empty() || !options.collectDir.empty()) {
            // The library reads the directory instead of the machine, and asks no service.
            ::setenv("VMDETECT_EVIDENCE", options.collectDir.empty() ? options.evidenceDir.c_str()
                                                                     : options.collectDir.c_str(), 1);
            options.noNetwork = true;
            options.report = options.report || !ReportForm(options);
        }
        if (ReportForm(options)) {
            return ReportOnly(options);
        }
        const Answers answers = Query(options);
        if (options.quiet) {
            return answers.flags != 0 ? kExitOk : kExitNothing;
        }
        const std::string out = options.json ? Json(answers) : Text(answers);
        std::fwrite(out.data(), 1, out.size(), stdout);
        return FinishOutput(kExitOk);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vmdetect: %s\n", e.what());
        return kExitFailure;
    }
}
