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

#include <nlohmann/json.hpp>

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
    const struct {
        std::string report;
        Pairs expected;  // a line of none of them: the report refused
        std::string leftOut = "";  // the note's key: over 255 characters encoded
    } cases[] = {
        {R"({"hypervisor":"kvm","container":"none","cloud.provider":"aws",)"
         R"("host.id":"i-01b0f6cf495625076","sources":{"hypervisor":"cpuid"}})",
         {{"vmdetect.hypervisor", "kvm"}, {"vmdetect.container", "none"}, {"cloud.provider", "aws"},
          {"host.id", "i-01b0f6cf495625076"}}},
        {R"({"firmware.product":"a,b=c;d%e f\tg\nh","firmware.vendor":"Caf\u00e9 \u0001\"x\""})",
         {{"firmware.product", "a,b=c;d%e f\tg\nh"}, {"firmware.vendor", "Caf\xc3\xa9 \x01\"x\""}}},
        {R"({"cloud.availability_zone":"hSoJ:US-ASHBURN-AD-1","empty":"","nested":{"a":"b"},)"
         R"("list":["x"],"none":null,"count":3,"flag":true})",
         {{"cloud.availability_zone", "hSoJ:US-ASHBURN-AD-1"}, {"count", "3"}, {"flag", "true"}}},
        {R"({"sources":{}})", {}},
        {R"({"host.name":"a\\b\"c","container.id":"x","vmdetect.container":"y"})",
         {{"host.name", "a\\b\"c"}, {"container.id", "x"}, {"vmdetect.container", "y"}}},
        {R"({"firmware.vendor":")" + std::string(255, 'v') + R"(","firmware.product":")" +
             std::string(256, 'p') + "\"}",
         {{"firmware.vendor", std::string(255, 'v')}}, "firmware.product"},
        {R"({"firmware.vendor":")" + std::string(86, ' ') + R"(","host.arch":"amd64"})",
         {{"host.arch", "amd64"}}, "firmware.vendor"},
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
        EXPECT_TRUE(notes.empty() || notes[0].find(" " + c.leftOut + ": ") != std::string::npos);
    }
}

// Azure's resourceId with an 80-character resource group and a 64-character
// VM name is 256 characters (otherwise azure-compute-docs-2.json): it alone
// is left out, and every other key still arrives.
TEST(Otel, TheLongAzureResourceIdAloneIsLeftOut) {
    const std::string group = "macikgo-test-may-23-" + std::string(60, 'g');
    const std::string vm = "examplevmname-" + std::string(50, 'v');
    const std::string id = "/subscriptions/8d10da13-8125-4ba9-a717-bf7490507b3d/resourceGroups/" +
                           group + "/providers/Microsoft.Compute/virtualMachines/" + vm;
    ASSERT_EQ(id.size(), 256u);
    const Pairs kept = {
        {"vmdetect.hypervisor", "microsoft"}, {"vmdetect.container", "none"},
        {"cloud.provider", "azure"}, {"cloud.platform", "azure.vm"}, {"cloud.region", "westus"},
        {"cloud.availability_zone", "1"}, {"cloud.account.id", "8d10da13-8125-4ba9-a717-bf7490507b3d"},
        {"host.id", "02aab8a4-74ef-476e-8182-f6d2ba4166a6"}, {"host.name", "examplevmhost"},
        {"host.type", "Standard_A3"}, {"azure.vm.name", vm}, {"azure.vm.size", "Standard_A3"},
        {"azure.resourcegroup.name", group}};
    nlohmann::ordered_json report;
    for (const auto& [key, value] : kept) {
        report[key.rfind("vmdetect.", 0) == 0 ? key.substr(9) : key] = value;
    }
    report["cloud.resource_id"] = id;
    std::string line;
    vmdetect_cli::Notes notes;
    ASSERT_TRUE(vmdetect_cli::OtelLine(report.dump(), line, &notes));
    EXPECT_EQ(ParseBack(line), kept);
    EXPECT_EQ(notes, vmdetect_cli::Notes{"--otel leaves out cloud.resource_id: 256 characters "
                                         "encoded, over 255"});
}

TEST(Nfd, OnlyLowCardinalityKeysWithLabelValuesBecomeLines) {
    const struct {
        std::string report;
        std::string lines;  // "untouched": the report refused
        std::vector<std::string> leftOut;
    } cases[] = {
        // The README's EC2 scenario (ec2-instance-identity-document-docs-1.json).
        {R"({"hypervisor":"amazon","container":"docker","firmware.vendor":"Amazon EC2",)"
         R"("firmware.product":"c5.large","cloud.provider":"aws","cloud.platform":"aws_ec2",)"
         R"("host.id":"i-1234567890abcdef0","host.arch":"amd64","os.type":"linux",)"
         R"("cloud.region":"us-west-2","cloud.availability_zone":"us-west-2b",)"
         R"("cloud.account.id":"123456789012","host.type":"t2.micro","host.image.id":"ami-0abcdef1234567890",)"
         R"("host.name":"ip-10-158-112-84.us-west-2.compute.internal",)"
         R"("cloud.resource_id":"arn:aws:ec2:us-west-2:123456789012:instance/i-1234567890abcdef0",)"
         R"("sources":{"hypervisor":"dmi"}})",
         "vmdetect.hypervisor=amazon\nvmdetect.container=docker\nvmdetect.cloud.provider=aws\n"
         "vmdetect.cloud.platform=aws_ec2\nvmdetect.cloud.region=us-west-2\n"
         "vmdetect.cloud.availability_zone=us-west-2b\nvmdetect.host.type=t2.micro\n"
         "vmdetect.host.arch=amd64\n",
         {}},
        // Oracle's availability domain holds a colon (oci-opc-v2-instance-docs-1.json has
        // "EMIr:PHX-AD-1"): left out, never mangled.
        {R"({"hypervisor":"kvm","container":"none","confidential":"sev-snp","cloud.provider":"oracle_cloud",)"
         R"("cloud.region":"us-phoenix-1","cloud.availability_zone":"qIZq:PHX-AD-1","host.type":"VM.Standard.E3.Flex"})",
         "vmdetect.hypervisor=kvm\nvmdetect.container=none\nvmdetect.confidential=sev-snp\n"
         "vmdetect.cloud.provider=oracle_cloud\nvmdetect.cloud.region=us-phoenix-1\n"
         "vmdetect.host.type=VM.Standard.E3.Flex\n",
         {"cloud.availability_zone"}},
        {R"({"cloud.availability_zone":")" + std::string(64, 'z') + R"(","cloud.region":")" +
             std::string(63, 'r') + "\"}",
         "vmdetect.cloud.region=" + std::string(63, 'r') + "\n", {"cloud.availability_zone"}},
        {R"({"container":"-x","cloud.provider":"x_","cloud.platform":"a_b.c-d","cloud.region":"caf\u00e9",)"
         R"("host.type":"a b","host.arch":"a/b","hypervisor":7})",
         "vmdetect.hypervisor=7\nvmdetect.cloud.platform=a_b.c-d\n",
         {"container", "cloud.provider", "cloud.region", "host.type", "host.arch"}},
        {"[]", "untouched", {}},
    };
    for (const auto& c : cases) {
        std::string lines = "untouched";
        vmdetect_cli::Notes notes;
        EXPECT_EQ(vmdetect_cli::NfdLines(c.report, lines, &notes), c.report != "[]");
        EXPECT_EQ(lines, c.lines) << c.report;
        ASSERT_EQ(notes.size(), c.leftOut.size()) << c.report;
        for (std::size_t i = 0; i < notes.size(); ++i) {
            EXPECT_EQ(notes[i], "--nfd leaves out " + c.leftOut[i] +
                                    ": its value is not a Kubernetes label value");
        }
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
