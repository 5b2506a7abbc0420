// Every cloud the report knows, one row each. The fourteen clouds with a
// metadata service have a fetch, each in a file of its own; the rest are
// known from the firmware alone (Firmware.cpp).
#pragma once

#include "ReportTypes.h"
#include "cloud/Identity.h"
#include "cloud/Session.h"
#include "cloud/Shapes.h"
#include "net/Endpoints.h"

namespace vmdetect::cloud {

struct Provider {
    const char* provider;  // cloud.provider
    const char* platform;  // cloud.platform; nullptr where OpenTelemetry defines none
    // Where its metadata service is, and the one short fetch that turns its
    // answers into keys; both nullptr for a cloud known from firmware alone.
    endpoints::Endpoint (*endpoint)();
    void (*fetch)(Session&);
    // The keys its service always gives, nullptr-ended: an answer lacking
    // one is partial, served but asked again after the retry interval.
    const char* const* always;
    // A world-readable DMI file that holds the instance id, and its shape.
    const char* idInFirmware;
    Shape idShape;
};

extern const Provider kAws;
extern const Provider kGcp;
extern const Provider kAzure;
extern const Provider kOracle;
extern const Provider kAlibaba;
extern const Provider kOpenStack;
extern const Provider kDigitalOcean;
extern const Provider kHetzner;
extern const Provider kAkamai;
extern const Provider kVultr;
extern const Provider kScaleway;
extern const Provider kUpCloud;
extern const Provider kIbmCloud;
extern const Provider kTencent;

// The cloud that the machine's firmware names, and the mark that named it
// ("sys_vendor [Hetzner]"); nullptr when it names none.
const Provider* NamedBy(const Machine& machine, std::string* mark = nullptr);

// The instance id the firmware holds, "" when it holds none.
std::string FirmwareId(const Provider& provider, const report::DmiFields& dmi);

}  // namespace vmdetect::cloud
