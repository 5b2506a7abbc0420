// The container's and the pod's identity: the anchors' public fixtures and
// their users' lines (tests/data/container/README.md), untidy files, the
// token's issuer, the managed Kubernetes gates, and a collection's replay.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "Constants.h"
#include "TestSupport.h"
#include "report/EvidenceDir.h"
#include "workload/Kubernetes.h"
#include "cloud/Identity.h"
#include "fakes/MetadataServer.h"
#include "report/Report.h"

namespace {

namespace fs = std::filesystem;
using vmdetect::workload::ContainerIdentity;
using vmdetect::workload::FromFiles;

constexpr std::size_t kCap = 256 * 1024;

std::optional<std::string> Sample(const char* name) {
    if (name == nullptr) return std::nullopt;
    return testsupport::ReadFile(testsupport::DataPath(std::string("container/") + name));
}

TEST(Container, RealLinesGiveTheAppContainerAndNothingElse) {
    const struct {
        const char *cgroup, *mountinfo;
        const char *id, *runtime, *source, *pod, *name;
    } cases[] = {
        {"docker-v1.cgroup", nullptr, "3726184226f5d3147c25fdeab5b60097e378e8a720503a5e19ecfdf29f869860", "docker", "cgroup", "", ""},
        {"docker-systemd-centos.cgroup", nullptr, "9ec39b91f3d70e1beff50a308f77067065ea6be0d91a3378375056cd4422cf3d", "docker", "cgroup", "", ""},
        {"openshift-docker.cgroup", nullptr, "b15a5bdedd2e7645c3be271364324321b908314e4c77857bbfd32a041148c07f", "docker", "cgroup", "22949dce-fd8b-11ea-8ede-98f2b32c645c", ""},
        {"kubepods-crio.cgroup", nullptr, "2227daf62df6694645fee5df53c1f91271546a9560e8600a525690ae252b7f63", "cri-o", "cgroup", "90d81341-92de-11e7-8cf2-507b9d4141fa", ""},
        {"kubepods-cgroupfs.cgroup", nullptr, "3e74d3fd9db4c9dd921ae05c2502fb984d0cde1b36e581b13f79c639da4518a1", "", "cgroup", "3d274242-8ee0-11e9-a8a6-1e68d864ef1a", ""},
        {"kubepods-cri-containerd.cgroup", nullptr, "713a77a26fe2a38ebebd5709604a048c3d380db1eb16aa43aca0b2499e54733c", "containerd", "cgroup", "4415fd05-2c0f-4533-909b-f2180dca8d7c", ""},
        {"containerd-colon.cgroup", nullptr, "05c48c82caff3be3d7f1e896981dd410e81487538936914f32b624d168de9db0", "containerd", "cgroup", "87a18a64-b74a-454a-b10b-a4a36059d0a3", ""},
        {"ecs-ec2.cgroup", nullptr, "38fac3e99302b3622be089dd41e7ccf38aff368a86cc339972075136ee2710ce", "", "cgroup", "", ""},
        {"ecs-fargate.cgroup", nullptr, "03752a671e744971a862edcee6195646-4015103728", "", "cgroup", "", ""},
        {"podman-libpod.cgroup", nullptr, "06dc5f321aad8726aa26559f16ec203bc099245bc44894b14a89fc02b022d1d5", "podman", "cgroup", "", ""},
        {"lxc-v1.cgroup", nullptr, "container1", "lxc", "cgroup", "", ""},
        {"lxc-payload.cgroup", nullptr, "web1", "lxc", "cgroup", "", ""},
        {"lxc-payload-dir.cgroup", nullptr, "web1", "lxc", "cgroup", "", ""},
        // cgroup v2 in a private namespace: the mount roots tell.
        {"private-namespace.cgroup", "docker.mountinfo", "be522444b60caf2d3934b8b24b916a8a314f4b68d4595aa419874657e8d103f2", "docker", "mountinfo", "", ""},
        {"private-namespace.cgroup", "docker-volume.mountinfo", "6548c6863fb748e72d1e2a4f824fde92f720952d062dede1318c2d6219a672d6", "docker", "mountinfo", "", ""},
        {"private-namespace.cgroup", "minikube-docker.mountinfo", "0eaa6718003210b6520f7e82d14b4c8d4743057a958a503626240f8d1900bc33", "docker", "mountinfo", "", ""},
        {"private-namespace.cgroup", "podman-rootless.mountinfo", "2a33efc76e519c137fe6093179653788bed6162d4a15e5131c8e835c968afbe6", "podman", "mountinfo", "", ""},
        // In a pod: the app container's own mount, never the sandbox's hostname or resolv.conf.
        {"private-namespace.cgroup", "crio-k8s.mountinfo", "a8f62e52ed7c2cd85242dcf0eb1d727b643540ceca7f328ad7d2f31aedf07731", "cri-o", "mountinfo", "0a947273-7214-4824-8411-875ebd7626e4", "ubuntu23"},
        {"private-namespace.cgroup", "containerd-k8s.mountinfo", "", "", "", "321c09bf-282b-44e4-a467-39daf144ef1f", "accountingservice"},
        {"kubepods-cri-containerd.cgroup", "containerd-k8s.mountinfo", "713a77a26fe2a38ebebd5709604a048c3d380db1eb16aa43aca0b2499e54733c", "containerd", "cgroup", "4415fd05-2c0f-4533-909b-f2180dca8d7c", ""},
        {nullptr, "minikube-containerd-sandbox.mountinfo", "", "", "", "", ""},
        // No container: a host's session, a terminal's scope, the host's containerd service, a bad id.
        {"host-session.cgroup", nullptr, "", "", "", "", ""},
        {"ubuntu-vte-spawn.cgroup", nullptr, "", "", "", "", ""},
        {"containerd-host-service.cgroup", nullptr, "", "", "", "", ""},
        {"invalid-hex.cgroup", nullptr, "", "", "", "", ""},
        {"private-namespace.cgroup", nullptr, "", "", "", "", ""},
        {nullptr, nullptr, "", "", "", "", ""},
    };
    for (const auto& c : cases) {
        const ContainerIdentity got = FromFiles(Sample(c.cgroup), Sample(c.mountinfo), kCap);
        const std::string what = std::string(c.cgroup ? c.cgroup : "-") + " " + (c.mountinfo ? c.mountinfo : "-");
        EXPECT_EQ(got.id, c.id) << what;
        EXPECT_EQ(got.runtime, c.id[0] == '\0' ? "" : c.runtime) << what;
        EXPECT_EQ(got.idSource, c.source) << what;
        EXPECT_EQ(got.podUid, c.pod) << what;
        EXPECT_EQ(got.containerName, c.name) << what;
    }
}

TEST(Container, UntidyFilesGiveTheIdOrNone) {
    const std::string id = "3726184226f5d3147c25fdeab5b60097e378e8a720503a5e19ecfdf29f869860";
    const std::string line = "13:name=systemd:/docker/" + id;
    const std::string cut = "12:pids:/docker/" + id.substr(0, 40);
    const struct {
        std::string cgroup;
        std::size_t cap;
        std::string want;
    } cases[] = {
        {"\xEF\xBB\xBF" + line + "\n", kCap, id},
        {"\n\n  \n" + line + "   \t\r\n\n", kCap, id},
        {"0::/\n" + line, kCap, id},                                 // no final line end
        {line + "\n" + cut, line.size() + 1 + cut.size(), id},       // the cut line is dropped
        {cut, cut.size(), ""},                                       // all of it may be cut
        {"1:name=systemd:/docker/" + id + "x\n", kCap, ""},
        {std::string(5000, 'x') + "\n", kCap, ""},
        {"", kCap, ""},
        {std::string("0::/docker/\0", 12) + id + "\n", kCap, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FromFiles(c.cgroup, std::nullopt, c.cap).id, c.want) << c.cgroup;
    }
}

// A token of `claims`, signed with nonsense: only its shape matters.
std::string Token(const std::string& claims) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const unsigned char c : claims) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) out += kAlphabet[(bits >> (count -= 6)) & 63];
    }
    if (count > 0) out += kAlphabet[(bits << (6 - count)) & 63];
    return "eyJhbGciOiJSUzI1NiJ9." + out + ".c2VjcmV0LXNpZ25hdHVyZQ";
}

constexpr const char* kEks = "https://oidc.eks.us-west-2.amazonaws.com/id/A1B2C3D4E5F60718293A4B5C6D7E8F90";

TEST(Kubernetes, TokenIssuerAndTheManagedServicesShapes) {
    using vmdetect::workload::IssuerOfToken;
    EXPECT_EQ(IssuerOfToken(Token(R"({"aud":["sts"],"iss":")" + std::string(kEks) + R"(","sub":"system:serviceaccount:default:x"})")), kEks);
    EXPECT_EQ(IssuerOfToken(Token(R"({"iss":"https://kubernetes.default.svc.cluster.local"})")),
              "https://kubernetes.default.svc.cluster.local");
    EXPECT_EQ(IssuerOfToken(Token(R"({"sub":{"iss":"inner"},"iss":"outer","x":[{"iss":"deep"}]})")), "outer");
    for (const std::string& bad : {Token(R"({"iss":7})"), Token(R"({"iss":"a b"})"), Token("[1]"), Token("{"),
                                   Token(R"({"iss":"a","iss":"b"})"), Token(R"(["iss","a"])"), Token(R"({"iss":"a"} x)"),
                                   Token(std::string("{\"iss\":\"a\"}\0", 12)), Token(R"({"sub":{"iss":"inner"}})"),
                                   std::string("no-dots"), std::string("a.b!c.d"), std::string()}) {
        EXPECT_EQ(IssuerOfToken(bad), "") << bad;
    }
    const struct { const char* issuer; bool eks; } issuers[] = {
        {kEks, true},
        {"https://oidc.eks.cn-north-1.amazonaws.com.cn/id/0123456789ABCDEF0123456789ABCDEF", true},
        {"https://oidc.eks.us-west-2.amazonaws.com/id/A1B2C3D4E5F60718293A4B5C6D7E8F9", false},
        {"https://oidc.eks.us-west-2.amazonaws.com/id/A1B2C3D4E5F60718293A4B5C6D7E8F90/x", false},
        {"https://oidc.eks.US_WEST.amazonaws.com/id/A1B2C3D4E5F60718293A4B5C6D7E8F90", false},
        {"https://oidc.eks.us-west-2.amazonaws.com.evil.example/id/A1B2C3D4E5F60718293A4B5C6D7E8F90", false},
        {"https://container.googleapis.com/v1/projects/p/locations/us-central1/clusters/c", false},
        {"https://eastus.oic.prod-aks.azure.com/72f988bf-86f1-41af-91ab-2d7cd011db47/4ad4c6fd-1cee-4b6e-9f6a-1d5b7c4e4a31/", false},
        {"https://kubernetes.default.svc.cluster.local", false},
    };
    for (const auto& c : issuers) EXPECT_EQ(vmdetect::workload::IsEksIssuer(c.issuer), c.eks) << c.issuer;
    const struct { const char *group, *region, *cluster; } groups[] = {
        {"MC_myResourceGroup_myAKSCluster_eastus", "eastus", "myAKSCluster"},
        {"mc_rg_aks-1_westeurope", "", "aks-1"},
        {"MC_myResourceGroup_myAKSCluster_eastus", "westus", ""},
        {"MC_my_group_cluster_eastus", "eastus", ""},
        {"myResourceGroup", "eastus", ""},
        {"MC__c_eastus", "eastus", ""},
    };
    for (const auto& g : groups) EXPECT_EQ(vmdetect::workload::AksCluster(g.group, g.region), g.cluster) << g.group;
}

TEST(Kubernetes, ManagedPlatformOnlyInAPodWithItsMark) {
    using vmdetect::report::Attributes;
    vmdetect::workload::Workload pod;
    pod.k8sNamespace = "default";
    pod.serviceHost = true;
    vmdetect::workload::Workload eksPod = pod;
    eksPod.tokenIssuer = kEks;
    vmdetect::workload::Workload host;
    host.tokenIssuer = kEks;
    const Attributes ec2 = {{"cloud.provider", "aws", "imds"}, {"cloud.platform", "aws_ec2", "imds"}};
    const Attributes aks = {{"cloud.provider", "azure", "imds"}, {"cloud.platform", "azure.vm", "imds"},
                            {"cloud.region", "eastus", "imds"},
                            {"azure.resourcegroup.name", "MC_rg_aks1_eastus", "imds"}};
    const Attributes azureNoAnswer = {{"cloud.provider", "azure", "dmi"}, {"cloud.platform", "azure.vm", "dmi"}};
    const Attributes gke = {{"cloud.provider", "gcp", "imds"}, {"cloud.platform", "gcp_compute_engine", "imds"},
                            {"k8s.cluster.name", "c1", "imds"}};
    const Attributes gce = {{"cloud.provider", "gcp", "imds"}, {"cloud.platform", "gcp_compute_engine", "imds"}};
    const Attributes gcpFirmware = {{"cloud.provider", "gcp", "dmi"}, {"cloud.platform", "gcp_compute_engine", "dmi"}};
    const struct {
        const char* what;
        const vmdetect::workload::Workload& w;
        Attributes all;
        const char *platform, *cluster;
    } cases[] = {
        {"EKS", eksPod, ec2, "aws_eks", ""},
        {"EKS, no firmware", eksPod, {}, "aws_eks", ""},
        {"EKS issuer on GCP", eksPod, gce, "gcp_compute_engine", ""},
        {"another issuer", pod, ec2, "aws_ec2", ""},
        {"EKS issuer, no pod", host, ec2, "aws_ec2", ""},
        {"AKS", pod, aks, "azure.aks", "aks1"},
        {"AKS group, no pod", host, aks, "azure.vm", ""},
        {"Azure without an answer", pod, azureNoAnswer, "azure.vm", ""},
        {"GKE", pod, gke, "gcp_kubernetes_engine", "c1"},
        {"GCE running its own Kubernetes", pod, gce, "gcp_compute_engine", ""},
        {"GCP firmware only", pod, gcpFirmware, "gcp_compute_engine", ""},
    };
    for (auto c : cases) {
        vmdetect::workload::ApplyManagedKubernetes(c.w, c.all);
        const auto* platform = vmdetect::report::Find(c.all, "cloud.platform");
        const auto* cluster = vmdetect::report::Find(c.all, "k8s.cluster.name");
        EXPECT_EQ(platform != nullptr ? platform->value : "", c.platform) << c.what;
        EXPECT_EQ(cluster != nullptr ? cluster->value : "", c.cluster) << c.what;
    }
}

// The whole way: the cloud's answer from a loopback service, then the gate
// that the report's merge applies.
TEST(Kubernetes, ManagedServicesFromTheirMetadataAnswers) {
    using testsupport::Route;
    const vmdetect::report::DmiFields azure = {{"sys_vendor", "Microsoft Corporation"}, {"product_name", "Virtual Machine"},
                                               {"chassis_asset_tag", "7783-7084-3265-9085-8269-3286-77"}};
    const vmdetect::report::DmiFields gce = {{"sys_vendor", "Google"}, {"product_name", "Google Compute Engine"}};
    std::string aksDocument = testsupport::ReadFile(testsupport::DataPath("metadata/azure-compute-docs-1.json"));
    aksDocument.replace(aksDocument.find("myResourceGroup"), 15, "MC_myResourceGroup_myAKSCluster_westus");
    const auto google = [](const std::string& item, const std::string& body) {
        return Route::Get("/computeMetadata/v1/" + item).Require("Metadata-Flavor", "Google")
            .Header("Metadata-Flavor", "Google").Body(body);
    };
    const std::vector<Route> gke = {google("instance/id", "2206944706428651580"), google("instance/zone", "projects/1/zones/europe-west3-c"),
                                    google("instance/machine-type", "projects/1/machineTypes/e2-medium"),
                                    google("project/project-id", "p-1"), google("instance/name", "n"),
                                    google("instance/hostname", "n.c.p-1.internal"),
                                    google("instance/attributes/cluster-name", "cluster-1"),
                                    google("instance/attributes/cluster-location", "europe-west3")};
    const struct {
        const char* what;
        vmdetect::report::DmiFields dmi;
        std::vector<Route> routes;
        const char *platform, *cluster;
    } cases[] = {
        {"AKS", azure, {Route::Get("/metadata/instance/compute").Require("Metadata", "true").Body(aksDocument)}, "azure.aks", "myAKSCluster"},
        {"Azure, another group", azure, {Route::Get("/metadata/instance/compute").Body(testsupport::ReadFile(testsupport::DataPath("metadata/azure-compute-docs-1.json")))}, "azure.vm", ""},
        {"Azure, no answer", azure, {Route::Get("/metadata/instance/compute").Status(500)}, "azure.vm", ""},
        {"GKE", gce, gke, "gcp_kubernetes_engine", "cluster-1"},
    };
    for (const auto& c : cases) {
        vmdetect::cloud::ResetCacheForTests();
        testsupport::MetadataServer server;
        for (const Route& route : c.routes) server.On(route);
        const testsupport::ScopedEnv azureEndpoint("VMDETECT_AZURE_METADATA_ENDPOINT", server.url().c_str());
        const testsupport::ScopedEnv gceHost("GCE_METADATA_HOST", server.hostPort().c_str());
        vmdetect::report::Local local;
        local.machine = {c.dmi, true, true};
        local.platform = vmdetect::cloud::FromFirmware(local.machine);
        local.workload.k8sNamespace = "default";
        local.workload.serviceHost = true;
        const auto report = nlohmann::json::parse(
            vmdetect::report::Serialize(local, *vmdetect::cloud::Identify(local.machine)));
        EXPECT_EQ(report["cloud.platform"], c.platform) << c.what;
        EXPECT_EQ(report.value("k8s.cluster.name", ""), c.cluster) << c.what;
        EXPECT_TRUE(server.unexpected().empty()) << c.what;
    }
    vmdetect::cloud::ResetCacheForTests();
}

// A pod's files under temporary roots: the report's keys, a collection that
// keeps the claim and not the token, and a replay that says the same.
TEST(Kubernetes, CollectionReplaysTheLiveKeysWithoutTheToken) {
    const testsupport::TempDir dir;
    const testsupport::ScopedEnv noService("KUBERNETES_SERVICE_HOST", nullptr);  // a runner may be a pod
    const vmdetect::evidence::Roots roots{dir.file("proc"), dir.file("sys"), dir.file("host")};
    const std::string token = Token(R"({"iss":")" + std::string(kEks) + R"("})");
    const auto put = [](const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        testsupport::WriteFile(path, text);
    };
    put(roots.proc + "/self/cgroup", *Sample("private-namespace.cgroup"));
    put(roots.proc + "/self/mountinfo", *Sample("crio-k8s.mountinfo"));
    put(roots.host + vmdetect::kServiceAccountNamespace, "shop\n");
    put(roots.host + vmdetect::kServiceAccountToken, token);
    const auto keys = [](const vmdetect::report::Local& local) {
        return nlohmann::json::parse(vmdetect::report::Serialize(local, {}));
    };
    const testsupport::LogCapture log(4);
    const auto live = keys(vmdetect::report::ReadLocal(roots));
    EXPECT_TRUE(log.contains("token issuer [" + std::string(kEks) + "]"));
    EXPECT_FALSE(log.contains(token.substr(0, token.rfind('.'))));
    EXPECT_EQ(live["container.id"], "a8f62e52ed7c2cd85242dcf0eb1d727b643540ceca7f328ad7d2f31aedf07731");
    EXPECT_EQ(live["container.runtime.name"], "cri-o");
    EXPECT_EQ(live["k8s.pod.uid"], "0a947273-7214-4824-8411-875ebd7626e4");
    EXPECT_EQ(live["k8s.container.name"], "ubuntu23");
    EXPECT_EQ(live["k8s.namespace.name"], "shop");
    EXPECT_EQ(live["cloud.platform"], "aws_eks");
    EXPECT_EQ(live["sources"]["container.id"], "mountinfo");

    // Google is asked for a cluster only from a pod with the service's variable.
    EXPECT_FALSE(vmdetect::report::ReadLocal(roots).machine.kubernetesPod);
    {
        const testsupport::ScopedEnv service("KUBERNETES_SERVICE_HOST", "10.96.0.1");
        EXPECT_TRUE(vmdetect::report::ReadLocal(roots).machine.kubernetesPod);
        EXPECT_FALSE(vmdetect::report::ReadLocal({dir.file("none"), dir.file("none"), dir.file("none")}).machine.kubernetesPod);
    }

    const std::string evidence = dir.file("evidence");
    ASSERT_EQ(vmdetect::evidence::Collect(evidence, roots, false, [](vmdetect::evidence::Source& source) {
                  (void)vmdetect::report::ReadLocal(source);
              }), 0);
    EXPECT_EQ(testsupport::ReadFile(evidence + "/" + vmdetect::kEvidenceTokenIssuerFile), std::string(kEks) + "\n");
    const std::string signature = token.substr(token.rfind('.') + 1);
    for (const auto& entry : fs::recursive_directory_iterator(evidence)) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(testsupport::ReadFile(entry.path()).find(signature), std::string::npos) << entry.path();
        }
        EXPECT_NE(entry.path().filename(), "token");
    }
    const auto replay = vmdetect::evidence::OpenEvidence(evidence);
    ASSERT_NE(replay, nullptr);
    auto replayed = keys(vmdetect::report::ReadLocal(*replay));
    for (const char* key : {"container.id", "container.runtime.name", "k8s.pod.uid", "k8s.container.name",
                            "k8s.namespace.name", "cloud.platform"}) {
        EXPECT_EQ(replayed[key], live[key]) << key;
    }
    // The claim's file: one line of one word, else taken as absent.
    for (const auto& [issuer, platform] : std::vector<std::pair<std::string, std::string>>{
             {std::string(kEks) + "\n", "aws_eks"}, {std::string(kEks) + " x\n", ""},
             {std::string(kEks) + "\n" + kEks + "\n", ""}, {"\n", ""}}) {
        testsupport::WriteFile(evidence + "/" + vmdetect::kEvidenceTokenIssuerFile, issuer);
        EXPECT_EQ(keys(vmdetect::report::ReadLocal(*vmdetect::evidence::OpenEvidence(evidence))).value("cloud.platform", ""),
                  platform) << issuer;
    }
    // A collection made before these files existed replays without the keys.
    const auto older = vmdetect::evidence::OpenEvidence(testsupport::DataPath("evidence/kvm-docker-x86_64-1"));
    ASSERT_NE(older, nullptr);
    const auto old = keys(vmdetect::report::ReadLocal(*older));
    EXPECT_EQ(old["container"], "docker");
    EXPECT_FALSE(old.contains("container.id"));
    EXPECT_FALSE(old.contains("k8s.namespace.name"));
}

}  // namespace
