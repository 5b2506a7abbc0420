#include "CloudIdentity.h"

namespace vmdetect::cloud {

std::shared_ptr<const report::Attributes> Identify(const report::DmiFields& /*dmi*/) {
    static const auto kNone = std::make_shared<const report::Attributes>();
    return kNone;
}

}  // namespace vmdetect::cloud
