// The --otel line: the report's keys as key=value pairs, parsed back.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "../tools/vmdetect/Otel.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// What an OpenTelemetry SDK does with OTEL_RESOURCE_ATTRIBUTES: split at ','
// and '=', then percent-decode. A raw character the encoder must escape, or a
// piece without exactly one '=', fails the test.
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
            EXPECT_TRUE(c > 0x20 && c < 0x7f && c != ';') << line;
            out += static_cast<char>(c);
        }
    }
    EXPECT_TRUE(line.empty() || inValue) << line;
    return pairs;
}

TEST(Otel, LinesParseBackToTheReportOrAreLeftUntouched) {
    const struct {
        const char* report;
        Pairs expected;  // a line of none of them: the report refused
    } cases[] = {
        {R"({"hypervisor":"kvm","container":"none","cloud.provider":"aws",)"
         R"("host.id":"i-01b0f6cf495625076","sources":{"hypervisor":"cpuid"}})",
         {{"hypervisor", "kvm"}, {"container", "none"}, {"cloud.provider", "aws"},
          {"host.id", "i-01b0f6cf495625076"}}},
        {R"({"firmware.product":"a,b=c;d%e f\tg\nh","firmware.vendor":"Caf\u00e9 \u0001\"x\""})",
         {{"firmware.product", "a,b=c;d%e f\tg\nh"}, {"firmware.vendor", "Caf\xc3\xa9 \x01\"x\""}}},
        {R"({"cloud.availability_zone":"hSoJ:US-ASHBURN-AD-1","empty":"","nested":{"a":"b"},)"
         R"("list":["x"],"none":null,"count":3,"flag":true})",
         {{"cloud.availability_zone", "hSoJ:US-ASHBURN-AD-1"}, {"count", "3"}, {"flag", "true"}}},
        {R"({"sources":{}})", {}},
        {"", {{"untouched", ""}}}, {"[]", {{"untouched", ""}}}, {"\"x\"", {{"untouched", ""}}},
        {"{\"a\":", {{"untouched", ""}}}, {"{\"a\":\"b\"} trailing", {{"untouched", ""}}},
    };
    for (const auto& c : cases) {
        std::string line = "untouched=";
        const bool written = vmdetect_cli::OtelLine(c.report, line);
        EXPECT_EQ(written, line != "untouched=") << c.report;
        EXPECT_EQ(ParseBack(line), c.expected) << line;
    }
}

}  // namespace
