// Heroku: the dyno metadata variables (the runtime-dyno-metadata feature).
// OpenTelemetry defines no cloud.platform for it.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"heroku.app.id", "HEROKU_APP_ID", Shape::kUuid},
    {"heroku.release.commit", "HEROKU_SLUG_COMMIT", Shape::kName},
    {"heroku.release.creation_timestamp", "HEROKU_RELEASE_CREATED_AT", Shape::kText},
};

bool Marked(const Evidence& evidence) { return Set(evidence, "HEROKU_DYNO_ID"); }

}  // namespace

const Platform kHeroku = {"heroku", nullptr, &Marked, kVariables, std::size(kVariables), nullptr,
                          nullptr, nullptr, nullptr, false};

}  // namespace vmdetect::workload
