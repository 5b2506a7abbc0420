// The cloud identity: which cloud the firmware names, the exact requests to
// its service, the keys they give, and what is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CloudIdentity.h"
#include "TestSupport.h"
#include "fakes/MetadataServer.h"

namespace {

using testsupport::DataPath;
using testsupport::LogCapture;
using testsupport::MetadataServer;
using testsupport::ReadFile;
using testsupport::Route;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using vmdetect::report::DmiFields;
using Keys = std::map<std::string, std::string>;

// The world-readable DMI files as the kernel would show them for a
// dmidecode capture (tests/data/dmi).
DmiFields FirmwareOf(const std::string& capture) {
    struct Field {
        const char* block;
        const char* label;
        const char* file;
    };
    static const Field kFields[] = {
        {"System Information", "Manufacturer", "sys_vendor"},
        {"System Information", "Product Name", "product_name"},
        {"System Information", "Version", "product_version"},
        {"BIOS Information", "Version", "bios_version"},
        {"Chassis Information", "Asset Tag", "chassis_asset_tag"},
    };
    DmiFields fields;
    std::string block;
    std::istringstream lines(ReadFile(DataPath("dmi/" + capture)));
    for (std::string line; std::getline(lines, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == 0) {
            block = line;
            continue;
        }
        const size_t colon = line.find(": ");
        for (const Field& field : kFields) {
            if (start != std::string::npos && colon != std::string::npos && block == field.block &&
                line.compare(start, colon - start, field.label) == 0 &&
                fields.count(field.file) == 0) {
                fields[field.file] = line.substr(colon + 2);
            }
        }
    }
    return fields;
}

Keys KeysOf(const vmdetect::report::Attributes& attributes) {
    Keys keys;
    for (const auto& attribute : attributes) {
        EXPECT_EQ(attribute.source, "imds") << attribute.key;
        EXPECT_FALSE(attribute.value.empty()) << attribute.key;
        keys[attribute.key] = attribute.value;
    }
    return keys;
}

// Points all five services at one loopback server, so that every request
// any cloud's code sends is recorded.
struct Clouds {
    MetadataServer server;
    ScopedEnv ec2{"AWS_EC2_METADATA_SERVICE_ENDPOINT", server.url().c_str()};
    ScopedEnv gce{"GCE_METADATA_HOST", server.hostPort().c_str()};
    ScopedEnv oci{"VMDETECT_OCI_METADATA_ENDPOINT", server.url().c_str()};
    ScopedEnv azure{"VMDETECT_AZURE_METADATA_ENDPOINT", server.url().c_str()};
    ScopedEnv alibaba{"VMDETECT_ALIBABA_METADATA_ENDPOINT", server.url().c_str()};

    std::vector<std::string> Sent() const {
        std::vector<std::string> sent;
        for (const auto& request : server.requests()) {
            sent.push_back(request.method + " " + request.path +
                           (request.query.empty() ? "" : "?" + request.query));
        }
        return sent;
    }
};

constexpr const char* kToken = "AQAEAFTNrA4eEGhBDqwPWSVGJdHYnk3Kxdp7l9BwNsbYBRjZ4AtjQQ==";
constexpr const char* kEc2Put = "PUT /latest/api/token";
constexpr const char* kEc2Doc = "/latest/dynamic/instance-identity/document";
constexpr const char* kEc2TokenHeader = "X-aws-ec2-metadata-token";
constexpr const char* kAliToken = "X-aliyun-ecs-metadata-token";
constexpr const char* kAzurePath = "/metadata/instance/compute";
constexpr const char* kGcePrefix = "/computeMetadata/v1/";

const Keys kEc2Keys = {{"cloud.provider", "aws"},
                       {"cloud.platform", "aws_ec2"},
                       {"cloud.region", "eu-central-1"},
                       {"cloud.availability_zone", "eu-central-1b"},
                       {"cloud.account.id", "74206020*****"},
                       {"host.id", "i-01b0f6cf495625076"},
                       {"host.type", "t4g.medium"}};

Route Ec2Token() {
    return Route::Put("/latest/api/token")
        .Require("X-aws-ec2-metadata-token-ttl-seconds", "60")
        .Body(kToken);
}

Route Ec2Document(bool withToken) {
    Route route = Route::Get(kEc2Doc).Body(ReadFile(DataPath(
        "metadata/ec2-instance-identity-document-1.json")));
    return withToken ? route.Require(kEc2TokenHeader, kToken) : route;
}

std::vector<Route> GoogleRoutes(bool flavorReply) {
    const std::pair<const char*, std::string> items[] = {
        {"instance/id", "gce-instance-id-1.txt"},
        {"instance/zone", "gce-instance-zone-1.txt"},
        {"instance/machine-type", "gce-instance-machine-type-docs-1.txt"},
        {"project/project-id", "gce-project-project-id-docs-1.txt"}};
    std::vector<Route> routes;
    for (const auto& [item, file] : items) {
        Route route = Route::Get(std::string(kGcePrefix) + item)
                          .Require("Metadata-Flavor", "Google")
                          .Body(ReadFile(DataPath("metadata/" + file)));
        routes.push_back(flavorReply ? route.Header("Metadata-Flavor", "Google") : route);
    }
    return routes;
}

std::vector<Route> AlibabaRoutes(bool token) {
    // Values in the shapes Alibaba's metadata documentation shows.
    const std::pair<const char*, const char*> items[] = {
        {"instance-id", "i-bp1hygp5b04o2k3uqe0j"},
        {"region-id", "cn-hangzhou"},
        {"zone-id", "cn-hangzhou-i"},
        {"owner-account-id", "1609773154723412"},
        {"instance/instance-type", "ecs.g6.large"}};
    std::vector<Route> routes;
    for (const auto& [item, value] : items) {
        Route route = Route::Get(std::string("/latest/meta-data/") + item).Body(value);
        routes.push_back(token ? route.Require(kAliToken, kToken) : route);
    }
    return routes;
}

std::vector<std::string> AlibabaGets() {
    std::vector<std::string> gets;
    for (const char* item : {"instance-id", "region-id", "zone-id", "owner-account-id",
                             "instance/instance-type"}) {
        gets.push_back(std::string("GET /latest/meta-data/") + item);
    }
    return gets;
}

struct Row {
    const char* name;
    DmiFields firmware;
    std::vector<Route> routes;
    std::vector<std::string> sent;  // "METHOD path[?query]", in order
    Keys keys;
    std::vector<std::pair<const char*, const char*>> env = {};
    const char* withoutHeader = nullptr;  // no request may carry it
    unsigned deadlineMs = 0;              // > 0: set in the configuration
    size_t errors = 0;                    // Error lines expected
    double mostSeconds = 2.5;
};

std::vector<Row> AwsRows() {
    const std::string get = std::string("GET ") + kEc2Doc;
    const DmiFields nitro = FirmwareOf("ec2-nitro-1.txt");
    const std::string html = ReadFile(DataPath("metadata/ec2-imdsv2-401-body-1.html"));
    const char* closed = "http://127.0.0.1:9";
    return {
        {"aws nitro, token", nitro, {Ec2Token(), Ec2Document(true)}, {kEc2Put, get}, kEc2Keys},
        {"aws xen, token refused then without", FirmwareOf("ec2-xen-1.txt"),
         {Route::Put("/latest/api/token").Status(403), Ec2Document(false)}, {kEc2Put, get},
         kEc2Keys, {}, kEc2TokenHeader},
        {"aws, token answer dropped (hop limit)", nitro,
         {Route::Put("/latest/api/token").Hang(), Ec2Document(false)}, {kEc2Put, get},
         kEc2Keys, {}, kEc2TokenHeader},
        {"aws, token not base64", nitro,
         {Route::Put("/latest/api/token").Body("<html>"), Ec2Document(false)}, {kEc2Put, get},
         kEc2Keys, {}, kEc2TokenHeader},
        {"aws, http_proxy set", nitro, {Ec2Token(), Ec2Document(true)}, {kEc2Put, get}, kEc2Keys,
         {{"http_proxy", closed}, {"HTTP_PROXY", closed}, {"ALL_PROXY", closed}}},
        {"aws, disabled", nitro, {}, {}, {}, {{"AWS_EC2_METADATA_DISABLED", "true"}}},
        {"aws, a proxy's 200 HTML page", nitro, {Ec2Token(), Route::Get(kEc2Doc).Body(html)},
         {kEc2Put, get}, {}},
        {"aws, a JSON array", nitro, {Ec2Token(), Route::Get(kEc2Doc).Body(R"(["i-1"])")},
         {kEc2Put, get}, {}},
        {"aws, a 302", nitro,
         {Ec2Token(), Route::Get(kEc2Doc).Status(302).Header("Location", "/elsewhere")},
         {kEc2Put, get}, {}},
        {"aws, a swallowing service", nitro,
         {Route::Put("/latest/api/token").Hang(), Route::Get(kEc2Doc).Hang()}, {kEc2Put, get},
         {}, {}, nullptr, 400, 0, 0.8},
    };
}

std::vector<Row> GoogleAzureRows() {
    const auto gce = [](const char* item) { return std::string("GET ") + kGcePrefix + item; };
    const std::vector<std::string> gceSent = {gce("instance/id"), gce("instance/zone"),
                                              gce("instance/machine-type"),
                                              gce("project/project-id")};
    return {
        {"gcp", FirmwareOf("gce-1.txt"), GoogleRoutes(true), gceSent,
         {{"cloud.provider", "gcp"},
          {"cloud.platform", "gcp_compute_engine"},
          {"cloud.region", "europe-west3"},
          {"cloud.availability_zone", "europe-west3-c"},
          {"cloud.account.id", "my-sample-project-191923"},
          {"host.id", "2206944706428651580"},
          {"host.type", "e2-medium"}}},
        {"gcp, no Metadata-Flavor reply header", FirmwareOf("gce-1.txt"), GoogleRoutes(false),
         gceSent, {}},
        // One deadline (1.5 s) for the four requests, not one each.
        {"gcp, a swallowing service", FirmwareOf("gce-1.txt"),
         {Route::Get(std::string(kGcePrefix) + "instance/id").Hang()}, {gceSent[0]}, {}},
        {"azure", FirmwareOf("azure-1-spaces.txt"),
         {Route::Get(kAzurePath)
              .Require("Metadata", "true")
              .Body(ReadFile(DataPath("metadata/azure-compute-docs-1.json")))},
         {std::string("GET ") + kAzurePath + "?api-version=2021-02-01&format=json"},
         {{"cloud.provider", "azure"},
          {"cloud.platform", "azure.vm"},
          {"cloud.region", "westus"},
          {"cloud.account.id", "8d10da13-8125-4ba9-a717-bf7490507b3d"},
          {"host.id", "02aab8a4-74ef-476e-8182-f6d2ba4166a6"},
          {"host.type", "Standard_A3"}}},
        {"azure, malformed endpoint", FirmwareOf("azure-1-spaces.txt"), {}, {}, {},
         {{"VMDETECT_AZURE_METADATA_ENDPOINT", "127.0.0.1:9"}}, nullptr, 0, 1},
    };
}

std::vector<Row> OracleRows() {
    const DmiFields oracle = {{"chassis_asset_tag", "OracleCloud.com"}, {"sys_vendor", "QEMU"}};
    const Keys v1Keys = {
        {"cloud.provider", "oracle_cloud"},
        {"cloud.platform", "oracle_cloud_compute"},
        {"cloud.availability_zone", "hSoJ:US-ASHBURN-AD-1"},
        {"cloud.account.id",
         "ocid1.compartment.oc1..aaaaaaaalfj7z4p5km7zel6qtdudqcfndhkyfyhuw3cptb2b5pq2mrugnz5q"},
        {"host.id",
         "ocid1.instance.oc1.iad.abuwcljt5e4yeh5jayhverhtnvsxjvlg3imevahj4xoipchptbtvzmir3ciq"},
        {"host.type", "VM.Standard1.1"}};
    return {
        {"oracle v2", oracle,
         {Route::Get("/opc/v2/instance/")
              .Require("Authorization", "Bearer Oracle")
              .Body(ReadFile(DataPath("metadata/oci-opc-v2-instance-docs-1.json")))},
         {"GET /opc/v2/instance/"},
         {{"cloud.provider", "oracle_cloud"},
          {"cloud.platform", "oracle_cloud_compute"},
          {"cloud.region", "us-phoenix-1"},
          {"cloud.availability_zone", "EMIr:PHX-AD-1"},
          {"cloud.account.id", "ocid1.tenancy.oc1..exampleuniqueID"},
          {"host.id", "ocid1.instance.oc1.phx.exampleuniqueID"},
          {"host.type", "VM.Standard.E3.Flex"}}},
        {"oracle v2 refused, then v1", oracle,
         {Route::Get("/opc/v2/instance/").Status(404),
          Route::Get("/opc/v1/instance/").Body(
              ReadFile(DataPath("metadata/oci-opc-v1-instance-ashburn-2017.json")))},
         {"GET /opc/v2/instance/", "GET /opc/v1/instance/"}, v1Keys},
        {"oracle v2 failing otherwise: no v1", oracle,
         {Route::Get("/opc/v2/instance/").Status(500)}, {"GET /opc/v2/instance/"}, {}},
    };
}

std::vector<Row> AlibabaAndOffCloudRows() {
    std::vector<Route> refused = AlibabaRoutes(false);
    refused.insert(refused.begin(), Route::Put("/latest/api/token").Status(403));
    std::vector<Route> routes = AlibabaRoutes(true);
    routes.insert(routes.begin(), Route::Put("/latest/api/token")
                                      .Require("X-aliyun-ecs-metadata-token-ttl-seconds", "60")
                                      .Body(kToken));
    std::vector<std::string> sent = AlibabaGets();
    sent.insert(sent.begin(), kEc2Put);
    const Keys keys = {{"cloud.provider", "alibaba_cloud"},
                       {"cloud.platform", "alibaba_cloud_ecs"},
                       {"cloud.region", "cn-hangzhou"},
                       {"cloud.availability_zone", "cn-hangzhou-i"},
                       {"cloud.account.id", "1609773154723412"},
                       {"host.id", "i-bp1hygp5b04o2k3uqe0j"},
                       {"host.type", "ecs.g6.large"}};
    return {
        {"alibaba", FirmwareOf("alibaba-1.txt"), routes, sent, keys},
        {"alibaba, token refused then without", FirmwareOf("alibaba-1.txt"), refused, sent, keys,
         {}, kAliToken},
        {"vmware: nothing sent", FirmwareOf("vmware-1.txt"), {}, {}, {}},
        {"plain qemu: nothing sent", FirmwareOf("qemu-1.txt"), {}, {}, {}},
        {"on-premises hyper-v: nothing sent", FirmwareOf("hyperv-1.txt"), {}, {}, {}},
        {"oracle bare metal server: nothing sent", FirmwareOf("baremetal-oracle-1.txt"), {}, {},
         {}},
        {"no DMI: nothing sent", {}, {}, {}, {}},
    };
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (auto part : {AwsRows, GoogleAzureRows, OracleRows, AlibabaAndOffCloudRows}) {
        for (Row& row : part()) {
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

class CloudIdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::SetSafeDefaults();
        vmdetect::cloud::ResetCacheForTests();
    }
    void TearDown() override { vmdetect::cloud::ResetCacheForTests(); }
};

TEST_F(CloudIdentityTest, EachCloudIsAskedExactlyAndAlone) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        vmdetect::cloud::ResetCacheForTests();
        LogCapture log(4);
        TempDir dir;
        testsupport::WriteFile(dir.file("vmdetect.conf"),
                               "[VirtualServer]\nnCloudIdentityTimeoutMs=" +
                                   std::to_string(row.deadlineMs) + "\n");
        ScopedEnv config("VMDETECT_CONFIG", row.deadlineMs > 0
                                                ? dir.file("vmdetect.conf").c_str()
                                                : "/nonexistent/vmdetect-test.conf");
        Clouds clouds;
        std::vector<std::unique_ptr<ScopedEnv>> env;
        for (const auto& [name, value] : row.env) {
            env.push_back(std::make_unique<ScopedEnv>(name, value));
        }
        for (const Route& route : row.routes) {
            clouds.server.On(route);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto answer = vmdetect::cloud::Identify(row.firmware);
        EXPECT_LT(testsupport::SecondsSince(start), row.mostSeconds);
        EXPECT_EQ(KeysOf(*answer), row.keys);
        EXPECT_EQ(clouds.Sent(), row.sent);
        EXPECT_TRUE(clouds.server.unexpected().empty());
        for (const auto& request : clouds.server.requests()) {
            EXPECT_FALSE(row.withoutHeader != nullptr && request.has(row.withoutHeader))
                << request.path;
        }
        EXPECT_FALSE(log.contains(kToken));
        EXPECT_EQ(log.matching("ERROR").size(), row.errors);
    }
}

TEST_F(CloudIdentityTest, AnswersAreKeptAndFailuresAskedAgainAfterAMinute) {
    Clouds clouds;
    clouds.server.On(Ec2Token());
    const DmiFields aws = FirmwareOf("ec2-nitro-1.txt");
    // The service fails first: a call within the minute sends nothing.
    EXPECT_TRUE(vmdetect::cloud::Identify(aws)->empty());
    EXPECT_EQ(clouds.server.requests().size(), 2u);
    clouds.server.On(Ec2Document(true));
    EXPECT_TRUE(vmdetect::cloud::Identify(aws)->empty());
    EXPECT_EQ(clouds.server.requests().size(), 2u);
    // A minute later it is asked again, and its answer is kept.
    vmdetect::cloud::AgeFailuresForTests();
    const auto first = vmdetect::cloud::Identify(aws);
    EXPECT_EQ(KeysOf(*first), kEc2Keys);
    EXPECT_EQ(clouds.server.requests().size(), 4u);
    EXPECT_EQ(vmdetect::cloud::Identify(aws).get(), first.get());
    EXPECT_EQ(clouds.server.requests().size(), 4u);
}

TEST_F(CloudIdentityTest, ConcurrentFirstCallsMakeOneSetOfRequests) {
    Clouds clouds;
    clouds.server.On(Ec2Token().Delay(std::chrono::milliseconds(100)));
    clouds.server.On(Ec2Document(true));
    const DmiFields aws = FirmwareOf("ec2-nitro-1.txt");
    std::vector<std::thread> threads;
    std::vector<const void*> seen(8);
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, &aws, i] { seen[i] = vmdetect::cloud::Identify(aws).get(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(clouds.Sent(), (std::vector<std::string>{kEc2Put, std::string("GET ") + kEc2Doc}));
    for (const void* pointer : seen) {
        EXPECT_EQ(pointer, seen[0]);
    }
}

}  // namespace
