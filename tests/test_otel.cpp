// The --otel line, the --prometheus metric and the --nfd features: the
// report's keys, parsed back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "../tools/vmdetect/Nfd.h"
#include "../tools/vmdetect/Otel.h"
#include "../tools/vmdetect/Prometheus.h"
#include "TestSupport.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// What an OpenTelemetry SDK does with OTEL_RESOURCE_ATTRIBUTES: split at ','
// and '=', then percent-decode. A raw byte that is not a W3C baggage octet,
// or a piece without exactly one '=', fails the test.
Pairs ParseBack(const std::string& line) {
    Pairs pairs(line.empty() ? 0 : 1);
    bool inValue = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        std::string& out = inValue ? pairs.back().second : pairs.back().first;
        if (c == ',' || c == '=') {
            EXPECT_EQ(inValue, c == ',') << line;
            inValue = c == '=';
            pairs.resize(pairs.size() + (c == ',' ? 1 : 0));
        } else if (c == '%' && i + 2 < line.size()) {
            out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            EXPECT_TRUE(c > 0x20 && c < 0x7f && c != ';' && c != '"' && c != '\\') << line;
            out += static_cast<char>(c);
        }
    }
    EXPECT_TRUE(line.empty() || inValue) << line;
    return pairs;
}

TEST(Otel, LinesParseBackToTheReportOrAreLeftUntouched) {
    const std::string group = "macikgo-test-may-23-" + std::string(60, 'g');
    const std::string vm = "examplevmname-" + std::string(50, 'v');
    const struct {
        std::string report;
        Pairs expected;  // a line of none of them: the report refused
        std::string leftOut = "";  // the note's key: over 255 characters encoded
    } cases[] = {
        {R"({"hypervisor":"kvm","container":"none","cloud.provider":"aws",)"
         R"("host.id":"i-01b0f6cf495625076","sources":{"hypervisor":"cpuid"}})",
         {{"vmdetect.hypervisor", "kvm"}, {"vmdetect.container", "none"}, {"cloud.provider", "aws"},
          {"host.id", "i-01b0f6cf495625076"}}},
        // A pod's keys are OpenTelemetry's own: they keep their names.
        {R"({"container":"cri-o","container.id":"a8f62e52ed7c2cd85242dcf0eb1d727b643540ceca7f328ad7d2f31aedf07731",)"
         R"("container.runtime.name":"cri-o","k8s.pod.uid":"0a947273-7214-4824-8411-875ebd7626e4",)"
         R"("k8s.namespace.name":"shop","k8s.container.name":"ubuntu23"})",
         {{"vmdetect.container", "cri-o"}, {"container.id", "a8f62e52ed7c2cd85242dcf0eb1d727b643540ceca7f328ad7d2f31aedf07731"},
          {"container.runtime.name", "cri-o"}, {"k8s.pod.uid", "0a947273-7214-4824-8411-875ebd7626e4"},
          {"k8s.namespace.name", "shop"}, {"k8s.container.name", "ubuntu23"}}},
        {R"({"firmware.product":"a,b=c;d%e f\tg\nh","firmware.vendor":"Caf\u00e9 \u0001\"x\""})",
         {{"firmware.product", "a,b=c;d%e f\tg\nh"}, {"firmware.vendor", "Caf\xc3\xa9 \x01\"x\""}}},
        {R"({"cloud.availability_zone":"hSoJ:US-ASHBURN-AD-1","empty":"","nested":{"a":"b"},)"
         R"("list":["x"],"none":null,"count":3,"flag":true})",
         {{"cloud.availability_zone", "hSoJ:US-ASHBURN-AD-1"}, {"count", "3"}, {"flag", "true"}}},
        {R"({"sources":{}})", {}},
        {R"({"host.name":"a\\b\"c","container.id":"x","vmdetect.container":"y"})",
         {{"host.name", "a\\b\"c"}, {"container.id", "x"}, {"vmdetect.container", "y"}}},
        {R"({"firmware.vendor":")" + std::string(255, 'v') + R"(","firmware.product":")" +
             std::string(86, ' ') + "\"}",  // 258 encoded
         {{"firmware.vendor", std::string(255, 'v')}}, "firmware.product"},
        // Azure's resourceId with an 80-character resource group and a 64-character VM name
        // (azure-compute-docs-2.json otherwise) is 256 characters; every other key arrives.
        {R"({"cloud.provider":"azure","cloud.resource_id":"/subscriptions/8d10da13-8125-4ba9-a717-)"
         R"(bf7490507b3d/resourceGroups/)" + group + "/providers/Microsoft.Compute/virtualMachines/" + vm +
             R"(","azure.resourcegroup.name":")" + group + R"(","azure.vm.name":")" + vm + "\"}",
         {{"cloud.provider", "azure"}, {"azure.resourcegroup.name", group}, {"azure.vm.name", vm}},
         "cloud.resource_id"},
        {"", {{"untouched", ""}}}, {"[]", {{"untouched", ""}}}, {"\"x\"", {{"untouched", ""}}},
        {"{\"a\":", {{"untouched", ""}}}, {"{\"a\":\"b\"} trailing", {{"untouched", ""}}},
    };
    for (const auto& c : cases) {
        std::string line = "untouched=";
        vmdetect_cli::Notes notes;
        const bool written = vmdetect_cli::OtelLine(c.report, line, &notes);
        EXPECT_EQ(written, line != "untouched=") << c.report;
        EXPECT_EQ(ParseBack(line), c.expected) << line;
        EXPECT_EQ(notes.size(), c.leftOut.empty() ? 0u : 1u) << line;
        EXPECT_TRUE(c.leftOut.empty() || notes.at(0).rfind("--otel leaves out " + c.leftOut + ": ", 0) == 0);
    }
}

TEST(Nfd, OnlyLowCardinalityKeysWithLabelValuesBecomeLines) {
    const struct {
        std::string report, lines;  // lines "untouched": the report refused
        std::vector<std::string> leftOut;
    } cases[] = {
        // The README's EC2 scenario (ec2-instance-identity-document-docs-1.json): no ids, no names.
        {R"({"hypervisor":"amazon","container":"docker","firmware.vendor":"Amazon EC2","cloud.provider":"aws",)"
         R"("cloud.platform":"aws_ec2","host.id":"i-1234567890abcdef0","host.arch":"amd64","cloud.region":"us-west-2",)"
         R"("cloud.availability_zone":"us-west-2b","cloud.account.id":"123456789012","host.type":"t2.micro",)"
         R"("host.name":"ip-10-158-112-84.us-west-2.compute.internal","cloud.resource_id":"arn:aws:ec2:us-west-2:)"
         R"(123456789012:instance/i-1234567890abcdef0","sources":{"hypervisor":"dmi"}})",
         "vmdetect.hypervisor=amazon\nvmdetect.container=docker\nvmdetect.cloud.provider=aws\n"
         "vmdetect.cloud.platform=aws_ec2\nvmdetect.cloud.region=us-west-2\n"
         "vmdetect.cloud.availability_zone=us-west-2b\nvmdetect.host.type=t2.micro\nvmdetect.host.arch=amd64\n",
         {}},
        // Oracle's availability domains hold a colon (oci-opc-v2-instance-docs-1.json: "EMIr:PHX-AD-1").
        {R"({"confidential":"sev-snp","cloud.region":"us-phoenix-1","cloud.availability_zone":"qIZq:PHX-AD-1"})",
         "vmdetect.confidential=sev-snp\nvmdetect.cloud.region=us-phoenix-1\n", {"cloud.availability_zone"}},
        {R"({"cloud.availability_zone":")" + std::string(64, 'z') + R"(","host.type":")" +
             std::string(63, 't') + "\"}",
         "vmdetect.host.type=" + std::string(63, 't') + "\n", {"cloud.availability_zone"}},
        {R"({"container":"-x","cloud.provider":"x_","cloud.platform":"a_b.c-d","cloud.region":"caf\u00e9",)"
         R"("host.arch":"a/b","hypervisor":7})",
         "vmdetect.hypervisor=7\nvmdetect.cloud.platform=a_b.c-d\n",
         {"container", "cloud.provider", "cloud.region", "host.arch"}},
        // A container's and a pod's keys are no node's labels; the managed platform is.
        {R"({"container":"cri-o","container.id":"a8f62e52ed7c2cd85242dcf0eb1d727b643540ceca7f328ad7d2f31aedf07731",)"
         R"("container.runtime.name":"cri-o","k8s.pod.uid":"0a947273-7214-4824-8411-875ebd7626e4",)"
         R"("k8s.namespace.name":"default","k8s.container.name":"ubuntu23","k8s.cluster.name":"c1",)"
         R"("cloud.platform":"gcp_kubernetes_engine"})",
         "vmdetect.container=cri-o\nvmdetect.cloud.platform=gcp_kubernetes_engine\n", {}},
        {"[]", "untouched", {}},
    };
    for (const auto& c : cases) {
        std::string lines = "untouched";
        vmdetect_cli::Notes notes;
        EXPECT_EQ(vmdetect_cli::NfdLines(c.report, lines, &notes), c.report != "[]");
        EXPECT_EQ(lines, c.lines) << c.report;
        std::vector<std::string> want;
        for (const std::string& key : c.leftOut) {
            want.push_back("--nfd leaves out " + key + ": its value is not a Kubernetes label value");
        }
        EXPECT_EQ(notes, want) << c.report;
    }
}

// What a scraper does with the exposition: the HELP and TYPE lines, then
// one sample whose label values are unescaped. A raw line feed, quote or
// lone backslash inside a value fails the test.
std::map<std::string, std::string> PrometheusLabels(const std::string& text) {
    const std::string head = "# HELP vmdetect_info ";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    const std::size_t type = text.find("\n# TYPE vmdetect_info gauge\nvmdetect_info{");
    EXPECT_NE(type, std::string::npos) << text;
    std::map<std::string, std::string> labels;
    std::size_t i = text.find('{', type) + 1;
    while (i < text.size() && text[i] != '}') {
        const std::size_t eq = text.find("=\"", i);
        const std::string name = text.substr(i, eq - i);
        std::string value;
        for (i = eq + 2; i < text.size() && text[i] != '"'; ++i) {
            EXPECT_NE(text[i], '\n') << text;
            if (text[i] == '\\') {
                const char next = text[++i];
                EXPECT_TRUE(next == '\\' || next == '"' || next == 'n') << text;
                value += next == 'n' ? '\n' : next;
            } else {
                value += text[i];
            }
        }
        EXPECT_TRUE(labels.emplace(name, value).second) << name;
        i += text[i + 1] == ',' ? 2 : 1;
    }
    EXPECT_EQ(text.substr(i), "} 1\n") << text;
    return labels;
}

TEST(Prometheus, InfoMetricParsesBackWithHostileValues) {
    const struct {
        const char* report;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {R"({"hypervisor":"kvm","container":"none","cloud.provider":"gcp","cloud.region":"eu-west1",)"
         R"("host.id":"123","host.type":"e2-small","sources":{"hypervisor":"cpuid"}})",
         {{"hypervisor", "kvm"}, {"container", "none"}, {"cloud_provider", "gcp"},
          {"cloud_region", "eu-west1"}, {"host_id", "123"}, {"host_type", "e2-small"}}},
        {R"({"firmware.product":"a\\b\"c\nd} 1\n\u0001x","firmware.vendor":"Caf\u00e9"})",
         {{"firmware_product", "a\\b\"c\nd} 1\n\x01x"}, {"firmware_vendor", "Caf\xc3\xa9"}}},
        {R"({"a.b":"1","a_b":"2","9x":"3","__name__":"4","k-y":"","count":7,"nested":{"a":1}})",
         {{"a_b", "1"}, {"_9x", "3"}, {"count", "7"}}},
        // A container's and a pod's keys stay out: one series per container.
        {R"({"container":"docker","container.id":"be522444b60caf2d3934b8b24b916a8a314f4b68d4595aa419874657e8d103f2",)"
         R"("container.runtime.name":"docker","k8s.pod.uid":"0a947273-7214-4824-8411-875ebd7626e4",)"
         R"("k8s.namespace.name":"default","k8s.container.name":"ubuntu23","k8s.cluster.name":"c1",)"
         R"("cloud.platform":"azure.aks"})",
         {{"container", "docker"}, {"cloud_platform", "azure.aks"}}},
    };
    for (const auto& c : cases) {
        std::string text;
        ASSERT_TRUE(vmdetect_cli::PrometheusText(c.report, text)) << c.report;
        EXPECT_EQ(PrometheusLabels(text), c.expected) << text;
        // The exposition's own checker, where Debian's prometheus package is installed.
        if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
            const testsupport::TempDir dir;
            testsupport::WriteFile(dir.file("m.prom"), text);
            EXPECT_EQ(std::system(("promtool check metrics < " + dir.file("m.prom")).c_str()), 0)
                << text;
        }
    }
    std::string untouched = "untouched";
    EXPECT_FALSE(vmdetect_cli::PrometheusText("[]", untouched));
    EXPECT_EQ(untouched, "untouched");
}

}  // namespace
