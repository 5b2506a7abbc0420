// What Google's serverless platforms share: Google's metadata service,
// asked only where their variables name one, for the instance, its region
// and the project.
#include "Constants.h"
#include "cloud/Providers.h"
#include "workload/Platforms.h"

namespace vmdetect::workload {

using cloud::Shape;

endpoints::Endpoint GoogleEndpoint(const Evidence&) { return endpoints::Gce(); }

void FetchGoogle(cloud::Session& session) {
    session.Add("faas.instance", cloud::GoogleItem(session, kGceItemInstanceId), Shape::kDigits);
    if (!session.Has("faas.instance")) {
        return;  // no Google service: nothing more to ask
    }
    // "projects/123456789/regions/europe-west1"
    session.Add("cloud.region", cloud::LastSegment(cloud::GoogleItem(session, kGceItemRegion)), Shape::kSlug);
    session.Add("cloud.account.id", cloud::GoogleItem(session, kGceItemProjectId), Shape::kName);
}

void FetchGoogleWithZone(cloud::Session& session) {
    FetchGoogle(session);
    if (session.Has("faas.instance")) {
        // App Engine's zone as its service gives it: "us16" on the standard
        // environment, a Compute Engine zone on the flexible one.
        session.Add("cloud.availability_zone", cloud::LastSegment(cloud::GoogleItem(session, kGceItemZone)),
                    Shape::kSlug);
    }
}

const char* const kGoogleAlways[] = {"faas.instance", "cloud.region", "cloud.account.id", nullptr};

}  // namespace vmdetect::workload
