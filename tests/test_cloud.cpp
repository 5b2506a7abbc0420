// The cloud identity: which cloud the firmware names, the exact requests to
// its service, the keys they give, and what is refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cloud/Identity.h"
#include "ZTVMDetect.h"
#include "EndpointVariables.h"
#include "TestSupport.h"
#include "fakes/MetadataServer.h"

namespace {

using testsupport::DataPath;
using testsupport::Headers;
using testsupport::MetadataServer;
using testsupport::ReadFile;
using testsupport::Route;
using testsupport::ScopedEnv;
using vmdetect::report::DmiFields;
using Keys = std::map<std::string, std::string>;
using Routes = std::vector<Route>;

// The world-readable DMI files as the kernel would show them for a
// dmidecode capture (tests/data/dmi); the first of each kept, unstripped.
DmiFields FirmwareOf(const std::string& capture) {
    static const std::map<std::string, std::string> kFiles = {
        {"System Information/Manufacturer", "sys_vendor"},
        {"System Information/Product Name", "product_name"},
        {"System Information/Version", "product_version"},
        {"BIOS Information/Version", "bios_version"},
        {"Chassis Information/Asset Tag", "chassis_asset_tag"},
        {"Base Board Information/Asset Tag", "board_asset_tag"}};
    DmiFields fields;
    std::string block;
    std::istringstream lines(ReadFile(DataPath("dmi/" + capture)));
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(" \t"), colon = line.find(": ");
        block = start == 0 ? line : block;
        const auto file = start > 0 && colon != std::string::npos
                              ? kFiles.find(block + "/" + line.substr(start, colon - start))
                              : kFiles.end();
        if (file != kFiles.end()) {
            fields.emplace(file->second, line.substr(colon + 2));
        }
    }
    return fields;
}

std::string Data(const std::string& file) { return ReadFile(DataPath("metadata/" + file)); }

// An answer's keys in a fixed order; "" leaves a key out.
Keys Ids(const std::vector<std::string>& values, const Keys& more = {}) {
    static const char* const kNames[] = {"cloud.provider", "cloud.platform", "cloud.region",
        "cloud.availability_zone", "cloud.account.id", "host.id", "host.type"};
    Keys keys = more;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i].empty()) {
            keys[kNames[i]] = values[i];
        }
    }
    return keys;
}

Keys KeysOf(const vmdetect::report::Attributes& attributes) {
    Keys keys;
    for (const auto& attribute : attributes) {
        EXPECT_EQ(attribute.source, "imds") << attribute.key;
        keys[attribute.key] = attribute.value;
    }
    return keys;
}

// Points all five services at one loopback server, so that every request
// any cloud's code sends is recorded; no answer kept from before or after.
struct Clouds {
    explicit Clouds(const char* address = "127.0.0.1") : server(address) {
        vmdetect::cloud::ResetCacheForTests();
    }
    ~Clouds() { vmdetect::cloud::ResetCacheForTests(); }
    MetadataServer server;
    // Every endpoint of the one list, in the form its loopback default has.
    std::vector<std::unique_ptr<ScopedEnv>> endpoints = [this] {
        std::vector<std::unique_ptr<ScopedEnv>> set;
        for (const auto& variable : vmdetect_endpoints::kVariables) {
            if (variable.loopback == nullptr) continue;
            const bool url = std::string(variable.loopback).rfind("http://", 0) == 0;
            set.push_back(std::make_unique<ScopedEnv>(variable.name, (url ? server.url() : server.hostPort()).c_str()));
        }
        return set;
    }();

    std::vector<std::string> Sent() const {
        std::vector<std::string> sent;
        for (const auto& request : server.requests()) {
            sent.push_back(request.method + " " + request.path +
                           (request.query.empty() ? "" : "?" + request.query));
        }
        return sent;
    }
};

// A row's endpoint value that puts the services on the IPv6 loopback.
constexpr const char* kOnIpv6 = "http://[::1]";

// Real tokens are URL-safe base64 of 56 characters, '-' and '_' among them.
constexpr const char* kToken = "AQAEAFTNrA4eEGhBDqwPW-VGJdHYnk3Kxdp7l9BwNsbYBRjZ4_tjQQ==";
constexpr const char* kEc2Doc = "/latest/dynamic/instance-identity/document";
constexpr const char* kEc2TokenHeader = "X-aws-ec2-metadata-token";
constexpr const char* kAliToken = "X-aliyun-ecs-metadata-token";
constexpr const char* kEc2HostName = "ip-10-158-112-84.us-west-2.compute.internal";
const Keys kEc2Keys = Ids({"aws", "aws_ec2", "us-west-2", "us-west-2b", "123456789012",
                           "i-1234567890abcdef0", "t2.micro"},
                          {{"host.name", kEc2HostName}, {"host.image.id", "ami-0abcdef1234567890"},
                           {"cloud.resource_id",
                            "arn:aws:ec2:us-west-2:123456789012:instance/i-1234567890abcdef0"}});

Route TokenPut(const char* ttlHeader = "X-aws-ec2-metadata-token-ttl-seconds") {
    return Route::Put("/latest/api/token").Require(ttlHeader, "60").Body(kToken);
}

Route Ec2HostName(bool token = true) {
    Route route = Route::Get("/latest/meta-data/hostname").Body(kEc2HostName);
    return token ? route.Require(kEc2TokenHeader, kToken) : route;
}

Route Ec2Document(bool token = true, const std::string& body = "") {
    Route route = Route::Get(kEc2Doc).Body(
        body.empty() ? Data("ec2-instance-identity-document-docs-1.json") : body);
    return token ? route.Require(kEc2TokenHeader, kToken) : route;
}

// One GET route per {item, body} under `prefix`, after `routes`.
Routes Gets(Routes routes, const std::string& prefix,
            const std::vector<std::pair<std::string, std::string>>& items, const Headers& need,
            const Headers& reply = {}) {
    for (const auto& [item, body] : items) {
        routes.push_back(Route::Get(prefix + item).Body(body));
        routes.back().required = need;
        routes.back().responseHeaders = reply;
    }
    return routes;
}

// A zonal DNS name, in the form Google's documentation gives.
constexpr const char* kGceHostName = "my-instance.europe-west3-c.c.my-sample-project-191923.internal";

Routes GoogleRoutes() {
    return Gets({}, "/computeMetadata/v1/",
                {{"instance/id", Data("gce-instance-id-1.txt")},
                 {"instance/zone", Data("gce-instance-zone-1.txt")},
                 {"instance/machine-type", Data("gce-instance-machine-type-docs-1.txt")},
                 {"project/project-id", Data("gce-project-project-id-docs-1.txt")},
                 {"instance/name", "my-instance"}, {"instance/hostname", kGceHostName}},
                {{"Metadata-Flavor", "Google"}}, {{"Metadata-Flavor", "Google"}});
}

struct Row {
    const char* name;
    DmiFields firmware;
    Routes routes;  // the requests expected, in order, each answered by its route
    Keys keys;
    const char* query = "";  // every request's
    std::vector<std::pair<const char*, const char*>> env = {};
    unsigned deadlineMs = 0;  // > 0: set in the configuration
    size_t errors = 0;        // Error lines expected
    bool pod = false;         // the machine is a Kubernetes pod
};

std::vector<Row> AwsGoogleAzureRows() {
    const DmiFields nitro = FirmwareOf("ec2-nitro-1.txt"), gce = FirmwareOf("gce-1.txt");
    const char* closed = "http://127.0.0.1:9";
    const Routes google = GoogleRoutes();
    Routes unflavored = google;
    for (Route& route : unflavored) {
        route.responseHeaders.clear();
    }
    Routes ownKubernetes = Gets(google, "/computeMetadata/v1/instance/attributes/", {{"cluster-name", "Not Found"}},
                                {{"Metadata-Flavor", "Google"}}, {{"Metadata-Flavor", "Google"}});
    ownKubernetes.back().Status(404);
    return {
        {"aws nitro, token", nitro, {TokenPut(), Ec2Document(), Ec2HostName()}, kEc2Keys},
        {"aws xen, token refused then without", FirmwareOf("ec2-xen-1.txt"),
         {TokenPut().Status(403), Ec2Document(false), Ec2HostName(false)}, kEc2Keys},
        {"aws, token answer dropped (hop limit)", nitro, {TokenPut().Hang(), Ec2Document(false), Ec2HostName(false)}, kEc2Keys},
        {"aws, a proxy's page for a token", nitro,
         {TokenPut().Body(Data("ec2-imdsv2-401-body-1.html")), Ec2Document(false), Ec2HostName(false)},
         kEc2Keys},
        {"aws, a token with a blank", nitro, {TokenPut().Body("AQAE AFTN"), Ec2Document(false), Ec2HostName(false)},
         kEc2Keys},
        {"aws, the captured document: its author masked the account", nitro,
         {TokenPut(), Ec2Document(true, Data("ec2-instance-identity-document-1.json")), Ec2HostName()},
         Ids({"aws", "aws_ec2", "eu-central-1", "eu-central-1b", "", "i-01b0f6cf495625076", "t4g.medium"},
             {{"host.name", kEc2HostName}, {"host.image.id", "ami-0a5f22e9f90ef8ef8"}})},
        {"aws, a China region", nitro,
         {TokenPut(), Ec2Document(true, R"({"instanceId": "i-1234567890abcdef0", "region": "cn-north-1", "accountId": "123456789012"})"), Ec2HostName()},
         Ids({"aws", "aws_ec2", "cn-north-1", "", "123456789012", "i-1234567890abcdef0"},
             {{"host.name", kEc2HostName}, {"cloud.resource_id", "arn:aws-cn:ec2:cn-north-1:123456789012:instance/i-1234567890abcdef0"}})},
        {"aws, a GovCloud region", nitro,
         {TokenPut(), Ec2Document(true, R"({"instanceId": "i-1234567890abcdef0", "region": "us-gov-west-1", "accountId": "123456789012"})"), Ec2HostName()},
         Ids({"aws", "aws_ec2", "us-gov-west-1", "", "123456789012", "i-1234567890abcdef0"},
             {{"host.name", kEc2HostName}, {"cloud.resource_id", "arn:aws-us-gov:ec2:us-gov-west-1:123456789012:instance/i-1234567890abcdef0"}})},
        {"aws over IPv6 loopback", nitro, {TokenPut(), Ec2Document(), Ec2HostName()}, kEc2Keys, "",
         {{"AWS_EC2_METADATA_SERVICE_ENDPOINT", kOnIpv6}}},
        {"aws, a document of a region alone", nitro,
         {TokenPut(), Ec2Document(true, R"({"region": "us-east-1"})")}, {}},
        {"aws, an instance id of the wrong shape", nitro,
         {TokenPut(), Ec2Document(true, R"({"instanceId": "OK", "region": "us-east-1"})")}, {}},
        {"aws, http_proxy set", nitro, {TokenPut(), Ec2Document(), Ec2HostName()}, kEc2Keys, "",
         {{"http_proxy", closed}, {"HTTP_PROXY", closed}, {"ALL_PROXY", closed}}},
        {"aws, disabled", nitro, {}, {}, "", {{"AWS_EC2_METADATA_DISABLED", "true"}}},
        {"aws, a proxy's 200 HTML page", nitro,
         {TokenPut(), Ec2Document(true, Data("ec2-imdsv2-401-body-1.html"))}, {}},
        {"aws, a 302", nitro,
         {TokenPut(), Ec2Document().Body("").Status(302).Header("Location", "/elsewhere")}, {}},
        {"aws, a swallowing service", nitro, {TokenPut().Hang(), Ec2Document(false).Hang()}, {},
         "", {}, 400},
        {"gcp", gce, google,
         Ids({"gcp", "gcp_compute_engine", "europe-west3", "europe-west3-c",
              "my-sample-project-191923", "2206944706428651580", "e2-medium"},
             {{"host.name", "my-instance"}, {"gcp.gce.instance.name", "my-instance"},
              {"gcp.gce.instance.hostname", kGceHostName},
              {"cloud.resource_id", "//compute.googleapis.com/projects/my-sample-project-191923/"
                                    "zones/europe-west3-c/instances/my-instance"}})},
        // A GKE node's attributes (gce-cluster-name-docs-1.txt); a VM that runs its own Kubernetes has none.
        {"gcp, a GKE pod", gce,
         Gets(google, "/computeMetadata/v1/instance/attributes/",
              {{"cluster-name", Data("gce-cluster-name-docs-1.txt")}, {"cluster-location", "europe-west3"}},
              {{"Metadata-Flavor", "Google"}}, {{"Metadata-Flavor", "Google"}}),
         Ids({"gcp", "gcp_compute_engine", "europe-west3", "europe-west3-c",
              "my-sample-project-191923", "2206944706428651580", "e2-medium"},
             {{"host.name", "my-instance"}, {"gcp.gce.instance.name", "my-instance"},
              {"gcp.gce.instance.hostname", kGceHostName}, {"k8s.cluster.name", "cluster-1"},
              {"cloud.resource_id", "//compute.googleapis.com/projects/my-sample-project-191923/"
                                    "zones/europe-west3-c/instances/my-instance"}}),
         "", {}, 0, 0, true},
        {"gcp, a pod on a VM that runs its own Kubernetes", gce,
         ownKubernetes,
         Ids({"gcp", "gcp_compute_engine", "europe-west3", "europe-west3-c",
              "my-sample-project-191923", "2206944706428651580", "e2-medium"},
             {{"host.name", "my-instance"}, {"gcp.gce.instance.name", "my-instance"},
              {"gcp.gce.instance.hostname", kGceHostName},
              {"cloud.resource_id", "//compute.googleapis.com/projects/my-sample-project-191923/"
                                    "zones/europe-west3-c/instances/my-instance"}}),
         "", {}, 0, 0, true},
        {"gcp, no Metadata-Flavor reply header", gce, {unflavored[0]}, {}},
        {"gcp, an id that is not a number", gce, {Route(google[0]).Body("OK")}, {}},
        // One deadline (1.5 s) for the four requests, not one each.
        {"gcp, a swallowing service", gce, {Route(google[0]).Hang()}, {}},
        {"azure", FirmwareOf("azure-1-spaces.txt"),
         Gets({}, "/metadata/instance/compute", {{"", Data("azure-compute-docs-1.json")}},
              {{"Metadata", "true"}}),
         Ids({"azure", "azure.vm", "westus", "", "8d10da13-8125-4ba9-a717-bf7490507b3d",
              "02aab8a4-74ef-476e-8182-f6d2ba4166a6", "Standard_A3"},
             {{"host.name", "examplevmname"}, {"azure.vm.name", "examplevmname"},
              {"azure.vm.size", "Standard_A3"}, {"azure.resourcegroup.name", "myResourceGroup"}}),
         "api-version=2021-02-01&format=json"},
        {"azure, a scale set's VM with its osProfile", FirmwareOf("azure-1-spaces.txt"),
         Gets({}, "/metadata/instance/compute", {{"", Data("azure-compute-docs-2.json")}},
              {{"Metadata", "true"}}),
         Ids({"azure", "azure.vm", "westus", "1", "8d10da13-8125-4ba9-a717-bf7490507b3d",
              "02aab8a4-74ef-476e-8182-f6d2ba4166a6", "Standard_A3"},
             {{"host.name", "examplevmhost"}, {"azure.vm.name", "examplevmname"},
              {"azure.vm.size", "Standard_A3"}, {"azure.vm.scaleset.name", "crpteste9vflji9"},
              {"azure.resourcegroup.name", "macikgo-test-may-23"},
              {"cloud.resource_id", "/subscriptions/8d10da13-8125-4ba9-a717-bf7490507b3d/resourceGroups/"
                                    "macikgo-test-may-23/providers/Microsoft.Compute/virtualMachines/examplevmname"}}),
         "api-version=2021-02-01&format=json"},
        {"azure, a vmId that is no UUID", FirmwareOf("azure-1-spaces.txt"),
         Gets({}, "/metadata/instance/compute",
              {{"", R"({"vmId": "OK", "location": "westus", "vmSize": "Standard_A3"})"}},
              {{"Metadata", "true"}}),
         {}, "api-version=2021-02-01&format=json"},
        {"azure, malformed endpoint", FirmwareOf("azure-1-spaces.txt"), {}, {}, "",
         {{"VMDETECT_AZURE_METADATA_ENDPOINT", "127.0.0.1:9"}}, 0, 1},
    };
}

std::vector<Row> OracleAlibabaOffCloudRows(std::vector<Row> rows) {
    const DmiFields oracle = {{"chassis_asset_tag", "OracleCloud.com"}, {"sys_vendor", "QEMU"}};
    const Route v1 =
        Route::Get("/opc/v1/instance/").Body(Data("oci-opc-v1-instance-ashburn-2017.json"));
    const std::vector<std::pair<std::string, std::string>> ali = {
        // Values in the shapes Alibaba's metadata documentation shows.
        {"instance-id", "i-bp1hygp5b04o2k3uqe0j"}, {"region-id", "cn-hangzhou"},
        {"zone-id", "cn-hangzhou-i"}, {"owner-account-id", "1609773154723412"},
        {"instance/instance-type", "ecs.g6.large"}, {"hostname", "iZbp1hygp5b04o2k3uqe0jZ"},
        {"image-id", "ubuntu_20_04_x64_20G_alibase_20210420.vhd"}};
    const Keys aliKeys = Ids({"alibaba_cloud", "alibaba_cloud_ecs", "cn-hangzhou", "cn-hangzhou-i",
                              "1609773154723412", "i-bp1hygp5b04o2k3uqe0j", "ecs.g6.large"},
                             {{"host.name", "iZbp1hygp5b04o2k3uqe0jZ"},
                              {"host.image.id", "ubuntu_20_04_x64_20G_alibase_20210420.vhd"}});
    const DmiFields alibaba = FirmwareOf("alibaba-1.txt");
    const Keys kDropletKeys = {{"cloud.provider", "digitalocean"}, {"host.id", "301234567"},
                               {"host.name", "vmdetect-probe"}, {"cloud.region", "ams3"}};
    rows.insert(rows.end(), {
        {"oracle v2", oracle,
         {Route::Get("/opc/v2/instance/")
              .Require("Authorization", "Bearer Oracle")
              .Body(Data("oci-opc-v2-instance-docs-1.json"))},
         Ids({"oracle_cloud", "oracle_cloud_compute", "us-phoenix-1", "EMIr:PHX-AD-1",
              "ocid1.tenancy.oc1..exampleuniqueID", "ocid1.instance.oc1.phx.exampleuniqueID",
              "VM.Standard.E3.Flex"},
             {{"host.name", "my-example-instance"}, {"host.image.id", "ocid1.image.oc1.phx.exampleuniqueID"},
              {"cloud.resource_id", "ocid1.instance.oc1.phx.exampleuniqueID"}})},
        {"oracle v2 refused, then v1", oracle, {Route::Get("/opc/v2/instance/").Status(404), v1},
         Ids({"oracle_cloud", "oracle_cloud_compute", "", "hSoJ:US-ASHBURN-AD-1",
              "ocid1.compartment.oc1..aaaaaaaalfj7z4p5km7zel6qtdudqcfndhkyfyhuw3cptb2b5pq2mrugnz5q",
              "ocid1.instance.oc1.iad.abuwcljt5e4yeh5jayhverhtnvsxjvlg3imevahj4xoipchptbtvzmir3ciq",
              "VM.Standard1.1"},
             {{"host.name", "bastion-ad1-0"},
              {"host.image.id", "ocid1.image.oc1.iad.aaaaaaaalcitrz3qydbhcpcehohib6lnlv3pmalgqa6vp3brsnhinanlp7pa"},
              {"cloud.resource_id",
               "ocid1.instance.oc1.iad.abuwcljt5e4yeh5jayhverhtnvsxjvlg3imevahj4xoipchptbtvzmir3ciq"}})},
        {"oracle, an id that is no instance OCID", oracle,
         {Route::Get("/opc/v2/instance/").Body(R"({"id": "ocid1.tenancy.oc1..x", "shape": "VM"})")},
         {}},
        {"oracle v2 failing otherwise: no v1", oracle,
         {Route::Get("/opc/v2/instance/").Status(500)}, {}},
        {"alibaba", alibaba,
         Gets({TokenPut("X-aliyun-ecs-metadata-token-ttl-seconds")}, "/latest/meta-data/", ali,
              {{kAliToken, kToken}}),
         aliKeys},
        {"alibaba, token refused then without", alibaba,
         Gets({Route::Put("/latest/api/token").Status(403)}, "/latest/meta-data/", ali, {}),
         aliKeys},
        // A responder that says "OK" to everything: a token, then no instance.
        {"alibaba, OK to every path", alibaba,
         Gets({TokenPut("X-aliyun-ecs-metadata-token-ttl-seconds").Body("OK")}, "/latest/meta-data/",
              {{"instance-id", "OK"}}, {{kAliToken, "OK"}}),
         {}},
        {"openstack", FirmwareOf("openstack-1.txt"),
         {Route::Get("/openstack/latest/meta_data.json").Body(Data("openstack-docs-latest.json"))},
         {{"cloud.provider", "openstack"}, {"host.id", "6c0f4e2a-9b1d-4f3a-8e57-2d9c1a7b3e10"},
          {"host.name", "vmdetect-probe.novalocal"}, {"cloud.availability_zone", "nova"},
          {"cloud.account.id", "5a2e9c7b1d3f4a6e8b0c2d4f6a8e0b1c"}}},
        {"openstack before project_id", FirmwareOf("openstack-1.txt"),
         {Route::Get("/openstack/latest/meta_data.json").Body(Data("openstack-docs-2013-10-17.json"))},
         {{"cloud.provider", "openstack"}, {"host.id", "b3d1a9e4-52c7-4e08-a1f6-7c4e2b9d0f35"},
          {"host.name", "legacy-probe.novalocal"}, {"cloud.availability_zone", "az-1"}}},
        {"digitalocean: a JSON number for the id", {{"sys_vendor", "DigitalOcean"}},
         {Route::Get("/metadata/v1.json").Body(Data("digitalocean-docs-v1.json"))}, kDropletKeys},
        {"digitalocean, the document in an array", {{"sys_vendor", "DigitalOcean"}},
         {Route::Get("/metadata/v1.json").Body("[" + Data("digitalocean-docs-v1.json") + "]")}, kDropletKeys},
        {"digitalocean, an id past what an integer holds", {{"sys_vendor", "DigitalOcean"}},
         {Route::Get("/metadata/v1.json").Body(R"({"droplet_id": 3.01234567e8, "hostname": "x"})")}, {}},
        {"hetzner: a YAML integer for the id", {{"sys_vendor", "Hetzner"}},
         {Route::Get("/hetzner/v1/metadata").Body(Data("hetzner-docs-v1.yaml"))},
         {{"cloud.provider", "hetzner"}, {"cloud.platform", "hetzner.cloud_server"}, {"host.id", "51234567"},
          {"host.name", "vmdetect-probe"}, {"cloud.region", "eu-central"}, {"cloud.availability_zone", "fsn1-dc14"}}},
        // Quoted scalars count; blocks, nested lines and a key seen twice are
        // skipped, never guessed at.
        {"hetzner, an older answer in other YAML forms", {{"sys_vendor", "Hetzner"}},
         {Route::Get("/hetzner/v1/metadata").Body(
             "---\ninstance-id: '51234567'\nhostname: \"vmdetect-probe\" # name\npublic-keys:\n- ssh-ed25519 AAAA\n"
             "network-config:\n  region: nowhere\nvendor_data: |\n  region: elsewhere\ninstance-id: 7\n")},
         {{"cloud.provider", "hetzner"}, {"cloud.platform", "hetzner.cloud_server"}, {"host.id", "51234567"},
          {"host.name", "vmdetect-probe"}}},
        {"no DMI: nothing sent", {}, {}, {}},
    });
    // Off-cloud firmware, among it the near misses of Azure and Oracle.
    for (const char* capture :
         {"vmware-1.txt", "qemu-1.txt", "hyperv-1.txt", "baremetal-oracle-1.txt"}) {
        rows.push_back({capture, FirmwareOf(capture), {}, {}});
    }
    return rows;
}

// The six clouds the Collector added, from their documented answers and
// the peers' test answers.
std::vector<Row> SixCloudRows(std::vector<Row> rows) {
    const DmiFields akamai = {{"sys_vendor", "Akamai"}}, ibm = {{"chassis_vendor", "IBM:Cloud Compute Server 1.0"}};
    const Route token = Route::Put("/v1/token").Require("Metadata-Token-Expiry-Seconds", "60").Body(kToken);
    const Route instance = Route::Get("/v1/instance").Require("Metadata-Token", kToken)
                               .Require("Accept", "application/json").Body(Data("akamai-docs-v1-instance.json"));
    const Keys akamaiKeys = Ids({"akamai_cloud", "akamai_cloud.compute", "us-ord", "", "7D8E1C35-3A7C-4E0C-8B3F1A2D4C6E9B07",
                                 "51234567", "g6-standard-1"}, {{"host.name", "vmdetect-probe"},
                                {"host.image.id", "linode/ubuntu22.04"}, {"host.image.name", "Ubuntu 22.04 LTS"}});
    // IBM's tokens are JSON web tokens of a kilobyte or so.
    const std::string jwt = std::string(kToken) + "." + std::string(900, 'J') + "." + kToken;
    const Route ibmToken = Route::Put("/identity/v1/token").Require("Metadata-Flavor", "ibm")
        .Body(R"({"access_token":")" + jwt + R"(","created_at":"2026-03-13T15:29:48Z","expires_in":300})");
    const Route ibmInstance = Route::Get("/metadata/v1/instance").Require("Authorization", "Bearer " + jwt);
    const char* tencent = "/latest/meta-data/";
    const std::vector<std::pair<std::string, std::string>> cvm = {
        // Values in the shapes of Tencent's metadata documentation; the
        // console's name for an instance nobody named.
        {"instance-id", "ins-abcdef12"}, {"placement/region", "ap-guangzhou"}, {"placement/zone", "ap-guangzhou-3"},
        {"app-id", "1251234567"}, {"instance/instance-type", "S5.MEDIUM2"}, {"instance-name", "未命名"},
        {"instance/image-id", "img-9qabwvbn"}};
    rows.insert(rows.end(), {
        {"akamai, the token bare", akamai, {token, instance}, akamaiKeys},
        {"akamai, the token as a JSON array", {{"sys_vendor", "Linode"}},
         {Route(token).Body(std::string("[\"") + kToken + "\"]"), instance}, akamaiKeys},
        {"akamai, labels with a C0 and a C1 control character", akamai,
         {token, Route(instance).Body(R"({"id": 51234567, "label": "probe\u001b[31m", "image": {"label": "Ubuntu\u0085"}})")},
         Ids({"akamai_cloud", "akamai_cloud.compute", "", "", "", "51234567"})},
        {"akamai, a plain-text 401 for a token", akamai, {Route(token).Status(401).Body("Unauthorized")}, {}},
        {"akamai, an error document for a token", akamai, {Route(token).Body(R"({"errors":[{"reason":"Unauthorized"}]})")}, {}},
        {"vultr", {{"sys_vendor", "Vultr"}}, {Route::Get("/v1.json").Body(Data("vultr-v1-cloudinit-1.json"))},
         Ids({"vultr", "vultr.cloud_compute", "ewr", "", "", "29bea708-2e6e-480a-90ad-0e6b5d5ad62f"}, {{"host.name", "CLOUDINIT_2"}})},
        {"vultr, a 2020 answer without instance-v2-id", {{"sys_vendor", "Vultr"}},
         {Route::Get("/v1.json").Body(Data("vultr-v1-2020-cloudinit-1.json"))},
         Ids({"vultr", "vultr.cloud_compute", "ewr", "", "", "42506325"}, {{"host.name", "CLOUDINIT_1"}})},
        {"scaleway", {{"sys_vendor", "Scaleway"}}, {Route::Get("/conf").Body(Data("scaleway-conf-otel-1.json"))},
         Ids({"scaleway_cloud", "scaleway_cloud_compute", "nl-ams", "nl-ams-1", "10542306-0c75-4265-9c2c-1fbfe4ea0bf0",
              "daa2ea5a-0ee6-4cdc-9f1a-e0d1cb4e6d86", "STARDUST1-S"},
             {{"host.name", "scw-interesting-bassi"}, {"host.image.id", "01fe25a9-2e95-41e2-9f3f-f7d3a00604be"},
              {"host.image.name", "Ubuntu 24.04 Noble Numbat"}}), "format=json"},
        {"scaleway, an older zone without -N: no region", {{"sys_vendor", "Scaleway"}},
         {Route::Get("/conf").Body(R"({"id": "5fa2e2a0-8b67-4b0f-9f4e-0c1d2e3f4a5b", "location": {"zone_id": "par1"}})")},
         Ids({"scaleway_cloud", "scaleway_cloud_compute", "", "par1", "", "5fa2e2a0-8b67-4b0f-9f4e-0c1d2e3f4a5b"}), "format=json"},
        {"upcloud", FirmwareOf("upcloud-1.txt"), {Route::Get("/metadata/v1.json").Body(Data("upcloud-docs-v1-1.json"))},
         Ids({"upcloud", "", "es-mad1", "", "", "00133099-f1fd-4ed2-b1c7-d027eb43a8f5"}, {{"host.name", "ubuntu-1cpu-1gb-es-mad1"}})},
        {"ibm cloud vpc", ibm, {ibmToken, Route(ibmInstance).Body(Data("ibmcloud-vpc-instance-otel-1.json"))},
         Ids({"ibm_cloud", "ibm_cloud.vpc", "eu-es", "eu-es-2", "bab397cffebd40329900ec4b9039793a",
              "02x7_8340ad93-8b46-41cf-95b5-6585f54dd419", "nxf-1x1"},
             {{"host.name", "otel-collector"}, {"host.image.id", "r050-8844669d-ac98-4de5-8651-109645ead299"},
              {"host.image.name", "ibm-ubuntu-24-04-4-minimal-amd64-1"},
              {"cloud.resource_id", "crn:v1:bluemix:public:is:eu-es-2:a/bab397cffebd40329900ec4b9039793a::instance:"
                                    "02x7_8340ad93-8b46-41cf-95b5-6585f54dd419"}}), "version=2022-03-01"},
        {"ibm cloud vpc, the documentation's short crn", ibm, {ibmToken, Route(ibmInstance).Body(Data("ibmcloud-docs-instance-1.json"))},
         Ids({"ibm_cloud", "ibm_cloud.vpc", "us-south", "us-south-1", "", "eb1b7391-2ca2-4ab5-84a8-b92157a633b0", "bx2-2x8"},
             {{"host.name", "my-instance"}, {"host.image.id", "72b27b5c-f4b0-48bb-b954-5becc7c1dcb8"}, {"host.image.name", "my-image"}}),
         "version=2022-03-01"},
        {"ibm cloud vpc, a token answer without a token", ibm, {Route(ibmToken).Body(R"({"errors":[]})")}, {}, "version=2022-03-01"},
        {"tencent, an instance named in Chinese", {{"sys_vendor", "Tencent Cloud"}}, Gets({}, tencent, cvm, {}),
         Ids({"tencent_cloud", "tencent_cloud_cvm", "ap-guangzhou", "ap-guangzhou-3", "1251234567", "ins-abcdef12", "S5.MEDIUM2"},
             {{"host.name", "未命名"}, {"host.image.id", "img-9qabwvbn"}})},
        {"tencent, OK to every path", {{"sys_vendor", "Tencent Cloud"}}, Gets({}, tencent, {{"instance-id", "OK"}}, {}), {}},
    });
    return rows;
}

bool Requires(const Route& route, const char* name) {
    return std::any_of(route.required.begin(), route.required.end(),
                       [name](const auto& header) { return header.first == name; });
}

TEST(CloudIdentity, EachCloudIsAskedExactlyAndAlone) {
    for (const Row& row : SixCloudRows(OracleAlibabaOffCloudRows(AwsGoogleAzureRows()))) {
        SCOPED_TRACE(row.name);
        testsupport::LogCapture log(4);
        testsupport::TempDir dir;
        testsupport::WriteFile(dir.file("vmdetect.conf"),
                               "[VirtualServer]\nnCloudIdentityTimeoutMs=" +
                                   std::to_string(row.deadlineMs) + "\n");
        ScopedEnv config("VMDETECT_CONFIG", row.deadlineMs > 0 ? dir.file("vmdetect.conf").c_str()
                                                               : "/nonexistent/vmdetect.conf");
        const bool ipv6 = std::any_of(row.env.begin(), row.env.end(),
                                      [](const auto& e) { return e.second == kOnIpv6; });
        Clouds clouds(ipv6 ? "::1" : "127.0.0.1");
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.env) {
            if (value != kOnIpv6) {
                env.push_back(std::make_unique<ScopedEnv>(name, value));
            }
        }
        std::vector<std::string> expected;
        for (const Route& route : row.routes) {
            clouds.server.On(route);
            expected.push_back(route.method + " " + route.path + (*row.query ? "?" : "") +
                               row.query);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto answer = vmdetect::cloud::Identify({row.firmware, true, row.pod});
        EXPECT_LT(testsupport::SecondsSince(start), row.deadlineMs > 0 ? 1.2 : 2.5);
        EXPECT_EQ(KeysOf(*answer), row.keys);
        EXPECT_EQ(clouds.Sent(), expected);
        EXPECT_TRUE(clouds.server.unexpected().empty());
        // A session token goes exactly where the route asks for one.
        const auto requests = clouds.server.requests();
        for (size_t i = 0; i < requests.size() && i < row.routes.size(); ++i) {
            for (const char* name : {kEc2TokenHeader, kAliToken, "Metadata-Token"}) {
                EXPECT_EQ(requests[i].has(name), Requires(row.routes[i], name)) << expected[i];
            }
            if (requests[i].method == "PUT") {
                EXPECT_EQ(requests[i].body, requests[i].path == "/identity/v1/token" ? R"({"expires_in":300})" : "");
            }
        }
        // Neither a token nor a refused value reaches the log.
        for (const char* secret : {kToken, "74206020"}) {
            EXPECT_FALSE(log.contains(secret));
        }
        EXPECT_EQ(log.matching("ERROR").size(), row.errors);
    }
}

// Every firmware mark, with the values its capture or cloud-init's
// ds-identify gives: the cloud it names without the network and without
// root (on Nitro the instance id too), and the one service then asked while
// the new services would all answer; off-cloud firmware asks none.
TEST(CloudIdentity, FirmwareAloneNamesTheCloud) {
    const struct { const char* what; DmiFields firmware; const char* provider; const char* platform; const char* path; bool guest = true; } cases[] = {
        {"ec2-nitro-1.txt", FirmwareOf("ec2-nitro-1.txt"), "aws", "aws_ec2", "/latest/"},
        {"ec2-xen-1.txt", FirmwareOf("ec2-xen-1.txt"), "aws", "aws_ec2", "/latest/"},
        {"gce-1.txt", FirmwareOf("gce-1.txt"), "gcp", "gcp_compute_engine", "/computeMetadata/v1/"},
        {"azure-1-spaces.txt", FirmwareOf("azure-1-spaces.txt"), "azure", "azure.vm", "/metadata/instance/"},
        {"Azure Stack", {{"chassis_asset_tag", "4860-8370-5222-2345-9626-0897-77"}}, "azure", "azure.vm", "/metadata/instance/"},
        {"Oracle", {{"chassis_asset_tag", "OracleCloud.com"}}, "oracle_cloud", "oracle_cloud_compute", "/opc/"},
        {"alibaba-1.txt", FirmwareOf("alibaba-1.txt"), "alibaba_cloud", "alibaba_cloud_ecs", "/latest/"},
        {"Alibaba by product", {{"product_name", "Alibaba Cloud ECS"}}, "alibaba_cloud", "alibaba_cloud_ecs", "/latest/"},
        {"openstack-1.txt", FirmwareOf("openstack-1.txt"), "openstack", nullptr, "/openstack/"},
        {"OpenStack Compute", {{"product_name", "OpenStack Compute"}}, "openstack", nullptr, "/openstack/"},
        {"Open Telekom Cloud", {{"chassis_asset_tag", "OpenTelekomCloud"}, {"product_name", "OpenStack Nova"}}, "openstack", nullptr, "/openstack/"},
        {"SAP Converged Cloud", {{"chassis_asset_tag", "SAP CCloud VM"}}, "openstack", nullptr, "/openstack/"},
        {"Huawei Cloud", {{"chassis_asset_tag", "HUAWEICLOUD"}, {"sys_vendor", "QEMU"}}, "openstack", nullptr, "/openstack/"},
        {"Samsung Cloud Platform", {{"chassis_asset_tag", "Samsung Cloud Platform"}}, "openstack", nullptr, "/openstack/"},
        {"DigitalOcean", {{"sys_vendor", "DigitalOcean"}, {"product_name", "Droplet"}}, "digitalocean", nullptr, "/metadata/v1.json"},
        {"Hetzner", {{"sys_vendor", "Hetzner"}, {"product_name", "vServer"}}, "hetzner", "hetzner.cloud_server", "/hetzner/"},
        {"Scaleway", {{"sys_vendor", "Scaleway"}}, "scaleway_cloud", "scaleway_cloud_compute", "/conf"},
        {"upcloud-1.txt", FirmwareOf("upcloud-1.txt"), "upcloud", nullptr, "/metadata/v1.json"},
        {"Vultr", {{"sys_vendor", "Vultr"}}, "vultr", "vultr.cloud_compute", "/v1.json"},
        {"Akamai", {{"sys_vendor", "Akamai"}}, "akamai_cloud", "akamai_cloud.compute", "/v1/"},
        {"Linode", {{"sys_vendor", "Linode"}}, "akamai_cloud", "akamai_cloud.compute", "/v1/"},
        {"IBM Cloud VPC", {{"chassis_vendor", "IBM:Cloud Compute Server 1.0:Nitro"}, {"sys_vendor", "QEMU"}}, "ibm_cloud", "ibm_cloud.vpc", "/identity/v1/token|/metadata/v1/instance"},
        {"Tencent Cloud", {{"sys_vendor", "Tencent Cloud"}, {"product_name", "CVM"}}, "tencent_cloud", "tencent_cloud_cvm", "/latest/meta-data/"},
        {"NWCS", {{"sys_vendor", "NWCS"}}, "nwcs", nullptr, nullptr},
        {"e24cloud", {{"sys_vendor", "e24cloud"}}, "e24cloud", nullptr, nullptr},
        {"Exoscale on CloudStack", {{"product_name", "Exoscale Compute Platform"}}, "exoscale", nullptr, nullptr},
        {"CloudStack", {{"product_name", "CloudStack KVM Hypervisor"}}, "cloudstack", nullptr, nullptr},
        {"CloudSigma", {{"product_name", "CloudSigma"}}, "cloudsigma", nullptr, nullptr},
        {"CloudCIX", {{"product_name", "CloudCIX"}}, "cloudcix", nullptr, nullptr},
        {"Joyent", {{"product_name", "SmartDC HVM"}}, "joyent", nullptr, nullptr},
        {"Outscale", {{"product_name", "3DS Outscale VM"}, {"sys_vendor", "3DS Outscale"}}, "outscale", nullptr, nullptr},
        {"ZStack", {{"chassis_asset_tag", "abc.zstack.io"}}, "zstack", nullptr, nullptr},
        // Bare-metal instances keep their cloud's own marks; a maker's name
        // on its physical computers needs the hypervisor bit.
        {"ec2-metal-1.txt", FirmwareOf("ec2-metal-1.txt"), "aws", "aws_ec2", "/latest/", false},
        {"Google bare metal", {{"sys_vendor", "Google"}, {"product_name", "Google Compute Engine"}}, "gcp", "gcp_compute_engine", "/computeMetadata/v1/", false},
        {"Hetzner Cloud on Arm", {{"sys_vendor", "Hetzner"}, {"product_name", "vServer"}}, "hetzner", "hetzner.cloud_server", "/hetzner/", false},
        {"Oracle bare metal", {{"chassis_asset_tag", "OracleCloud.com"}}, "oracle_cloud", "oracle_cloud_compute", "/opc/", false},
        {"a Chromebook", {{"sys_vendor", "Google"}, {"product_name", "Eve"}, {"board_vendor", "Google"}}, nullptr, nullptr, nullptr, false},
        {"a Hetzner dedicated server", {{"sys_vendor", "Hetzner"}, {"product_name", ""}, {"board_vendor", "ASRockRack"}}, nullptr, nullptr, nullptr, false},
        {"amazon in a physical version string", {{"product_version", "4.2.amazon"}}, nullptr, nullptr, nullptr, false},
        // Near misses: marks compared whole, or as their rows say.
        {"a vendor that only starts like one", {{"sys_vendor", "Hetzner Online GmbH"}}, nullptr, nullptr, nullptr},
        {"the ZStack suffix alone", {{"chassis_asset_tag", ".zstack.io"}}, nullptr, nullptr, nullptr},
        {"Outscale's product under another vendor", {{"product_name", "3DS Outscale VM"}, {"sys_vendor", "Not 3DS Outscale"}}, nullptr, nullptr, nullptr},
        {"Outscale's product alone", {{"product_name", "3DS Outscale VM"}}, nullptr, nullptr, nullptr},
        {"an IBM vendor that is no VPC server", {{"chassis_vendor", "IBM"}, {"sys_vendor", "IBM"}}, nullptr, nullptr, nullptr},
        {"Tencent's name as a product", {{"sys_vendor", "Tencent"}, {"product_name", "Tencent Cloud"}}, nullptr, nullptr, nullptr},
        {"hyperv-1.txt", FirmwareOf("hyperv-1.txt"), nullptr, nullptr, nullptr},
        {"vmware-1.txt", FirmwareOf("vmware-1.txt"), nullptr, nullptr, nullptr},
        {"qemu-1.txt", FirmwareOf("qemu-1.txt"), nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Keys keys;
        for (const auto& attribute : vmdetect::cloud::FromFirmware({c.firmware, c.guest})) {
            EXPECT_EQ(attribute.source, "dmi");
            keys[attribute.key] = attribute.value;
        }
        EXPECT_EQ(keys["cloud.provider"], c.provider ? c.provider : "");
        EXPECT_EQ(keys["cloud.platform"], c.platform ? c.platform : "");
        Clouds clouds;
        for (const auto& [path, data] : {std::pair{"/openstack/latest/meta_data.json", "openstack-docs-latest.json"},
                                         {"/metadata/v1.json", "digitalocean-docs-v1.json"},
                                         {"/hetzner/v1/metadata", "hetzner-docs-v1.yaml"},
                                         {"/v1/instance", "akamai-docs-v1-instance.json"},
                                         {"/v1.json", "vultr-v1-cloudinit-1.json"},
                                         {"/conf", "scaleway-conf-otel-1.json"},
                                         {"/metadata/v1/instance", "ibmcloud-vpc-instance-otel-1.json"}}) {
            clouds.server.On(Route::Get(path).Body(Data(data)));
        }
        clouds.server.On(Route::Put("/v1/token").Body(kToken));
        clouds.server.On(Route::Put("/identity/v1/token").Body(std::string(R"({"access_token":")") + kToken + "\"}"));
        clouds.server.On(Route::Get("/latest/meta-data/instance-id").Body("ins-abcdef12"));
        vmdetect::cloud::Identify({c.firmware, c.guest});
        for (const auto& sent : clouds.server.requests()) {
            const std::string paths = std::string(c.path != nullptr ? c.path : "") + "|";
            bool named = false;
            for (size_t at = 0, bar = paths.find('|'); c.path != nullptr && bar != std::string::npos;
                 at = bar + 1, bar = paths.find('|', at)) {
                named = named || sent.path.rfind(paths.substr(at, bar - at), 0) == 0;
            }
            EXPECT_TRUE(named) << sent.path;
        }
        EXPECT_EQ(clouds.server.requests().empty(), c.path == nullptr);
    }
    EXPECT_EQ(vmdetect::cloud::FromFirmware({FirmwareOf("ec2-nitro-1.txt"), true}).back().value, "i-04f9b1c56b3c301b5");
    EXPECT_EQ(vmdetect::cloud::FromFirmware({{{"sys_vendor", "Amazon EC2"}, {"board_asset_tag", "i-OK"}}, true}).size(), 2u);
}

TEST(CloudIdentity, OneSetOfRequestsAMinuteUntilAnAnswerIsKept) {
    Clouds clouds;
    clouds.server.On(TokenPut().Delay(std::chrono::milliseconds(100)));
    const vmdetect::cloud::Machine aws{FirmwareOf("ec2-nitro-1.txt"), true};
    // Concurrent first calls wait for one set of requests, which fails.
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&aws] { EXPECT_TRUE(vmdetect::cloud::Identify(aws)->empty()); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(clouds.Sent(),
              (std::vector<std::string>{"PUT /latest/api/token", std::string("GET ") + kEc2Doc}));
    // Within the minute nothing is sent; after it the service is asked
    // again, and its answer kept.
    clouds.server.On(Ec2Document());
    clouds.server.On(Ec2HostName());
    EXPECT_TRUE(vmdetect::cloud::Identify(aws)->empty());
    vmdetect::cloud::AgeAnswersForTests();
    const auto first = vmdetect::cloud::Identify(aws);
    EXPECT_EQ(KeysOf(*first), kEc2Keys);
    EXPECT_EQ(vmdetect::cloud::Identify(aws).get(), first.get());
    EXPECT_EQ(clouds.server.requests().size(), 5u);
    // Google's id at once and its zone past the deadline: that partial
    // answer is served for the minute, then asked for again; complete, kept.
    const vmdetect::cloud::Machine gce{FirmwareOf("gce-1.txt"), true};
    clouds.server.On(Route::Get("/computeMetadata/v1/instance/id").Header("Metadata-Flavor", "Google")
                         .Body(Data("gce-instance-id-1.txt")));
    clouds.server.On(Route::Get("/computeMetadata/v1/instance/zone").Hang());
    const auto partial = vmdetect::cloud::Identify(gce);
    EXPECT_EQ(KeysOf(*partial), Ids({"gcp", "gcp_compute_engine", "", "", "", "2206944706428651580"}));
    EXPECT_EQ(vmdetect::cloud::Identify(gce).get(), partial.get());
    Clouds whole;  // a second service, the answers kept
    for (const Route& route : GoogleRoutes()) {
        whole.server.On(route);
    }
    ScopedEnv gceHost("GCE_METADATA_HOST", whole.server.hostPort().c_str());
    vmdetect::cloud::AgeAnswersForTests();
    const auto complete = vmdetect::cloud::Identify(gce);
    EXPECT_EQ(KeysOf(*complete).size(), 11u);
    vmdetect::cloud::AgeAnswersForTests();
    EXPECT_EQ(vmdetect::cloud::Identify(gce).get(), complete.get());
    EXPECT_EQ(whole.server.requests().size(), 6u);
    // Vultr's 2020 form has every key but from the older id: served, and
    // asked again after the minute.
    const vmdetect::cloud::Machine vultr{{{"sys_vendor", "Vultr"}}, true};
    whole.server.On(Route::Get("/v1.json").Body(Data("vultr-v1-2020-cloudinit-1.json")));
    EXPECT_EQ(vmdetect::cloud::Identify(vultr)->size(), 5u);
    vmdetect::cloud::AgeAnswersForTests();
    EXPECT_EQ(vmdetect::cloud::Identify(vultr)->size(), 5u);
    EXPECT_EQ(whole.server.count("GET", "/v1.json"), 2u);
}

// A child forked while another thread waits on a cold call, or on a
// firmware fill, answers within the deadline: it never waits for a lock
// that no thread of its own holds.
TEST(CloudIdentity, AChildForkedDuringAColdCallAnswers) {
    const vmdetect::cloud::Machine gce{FirmwareOf("gce-1.txt"), true};
    const struct { const char* what; const char* dmi; std::function<void()> call; } cases[] = {
        {"cloud identity", "gce-1.txt", [&gce] { vmdetect::cloud::Identify(gce); }},
        {"firmware fill", "vmware-1.txt", [] { std::string uuid; GetLocalVMUUID(uuid); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Clouds clouds;
        clouds.server.On(Route::Get("/computeMetadata/v1/instance/id").Hang());
        testsupport::FakeTools tools;
        tools.UseDmi(c.dmi);
        ScopedEnv slow("VMDETECT_FAKE_DMI_SLEEP", "0.3");
        // The child asks a stand-in of its own: one serving both processes
        // at once trips ThreadSanitizer inside cpp-httplib.
        MetadataServer own;
        own.On(Route::Get("/computeMetadata/v1/instance/id").Hang());
        const std::string ownHost = own.hostPort();
        std::thread cold(c.call);
        for (int i = 0; i < 500 && clouds.server.requests().empty() && tools.Calls().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("GCE_METADATA_HOST", ownHost.c_str(), 1);
            c.call();
            ::_exit(0);
        }
        int status = -1;
        for (int i = 0; i < 1000 && ::waitpid(child, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (status == -1) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "the child still waits after 10 s";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        cold.join();
    }
}

}  // namespace
