// Google Compute Engine: six items, each counted only with Google's own
// reply header.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {

std::string GoogleItem(Session& session, const char* item) {
    metadata::Request get = Get(session.base() + kGcePath + item);
    get.headers.push_back({kGceHeader, "Failed to set CURL Metadata-Flavor: Google header"});
    get.replyHeader = kGceFlavorName;
    const metadata::Response answer = session.Send(get);
    if (!answer.ok) {
        return "";
    }
    if (answer.header != kGceFlavorValue) {
        session.log().DebugLvl(kFnIdentify, 2, "Refused [%s]: no %s: %s reply header",
                               get.url.c_str(), kGceFlavorName, kGceFlavorValue);
        return "";
    }
    return OneLine(answer.body);
}

namespace {

// A GKE node's cluster, asked only from a pod: a VM that runs its own
// Kubernetes has no such attribute, and answers 404. The cluster's location
// is a zone or a region; it stands in only for an instance zone not answered.
void Cluster(Session& session) {
    if (!session.kubernetesPod()) {
        return;
    }
    session.Add("k8s.cluster.name", GoogleItem(session, kGceItemClusterName), Shape::kName);
    if (!session.Has("k8s.cluster.name")) {
        return;
    }
    const std::string location = GoogleItem(session, kGceItemClusterLocation);
    // A zone ends in "-" and one letter ("us-central1-c"); a region does not.
    const size_t dash = location.rfind('-');
    const bool zonal = dash != std::string::npos && dash + 2 == location.size();
    session.Add("cloud.region", zonal ? location.substr(0, dash) : location, Shape::kSlug);
    if (zonal) {
        session.Add("cloud.availability_zone", location, Shape::kSlug);
    }
}

void Fetch(Session& session) {
    session.Add("host.id", GoogleItem(session, kGceItemInstanceId), Shape::kDigits);
    if (!session.Has("host.id")) {
        return;
    }
    const std::string zone = LastSegment(GoogleItem(session, kGceItemZone));
    // "europe-west3-c" lies in "europe-west3".
    const size_t dash = zone.rfind('-');
    if (Fits(Shape::kSlug, zone) && dash != std::string::npos) {
        session.Add("cloud.region", zone.substr(0, dash), Shape::kSlug);
        session.Add("cloud.availability_zone", zone, Shape::kSlug);
    }
    session.Add("host.type", LastSegment(GoogleItem(session, kGceItemMachineType)), Shape::kName);
    session.Add("cloud.account.id", GoogleItem(session, kGceItemProjectId), Shape::kName);
    const std::string name = GoogleItem(session, kGceItemName);
    session.Add("host.name", name, Shape::kHostName);
    session.Add("gcp.gce.instance.name", name, Shape::kHostName);
    session.Add("gcp.gce.instance.hostname", GoogleItem(session, kGceItemHostName), Shape::kHostName);
    Cluster(session);
    const std::string& project = session.Value("cloud.account.id");
    if (!project.empty() && session.Has("cloud.availability_zone") && session.Has("host.name")) {
        session.Add("cloud.resource_id",
                    "//compute.googleapis.com/projects/" + project + "/zones/" + zone +
                        "/instances/" + session.Value("host.name"),
                    Shape::kText);
    }
}

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "host.id", "host.type", nullptr};

}  // namespace

const Provider kGcp = {"gcp", "gcp_compute_engine", &endpoints::Gce, &Fetch, kAlways, nullptr,
                       Shape::kText};

}  // namespace vmdetect::cloud
