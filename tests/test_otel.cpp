// The --otel line: the report's keys as key=value pairs, parsed back.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "../tools/vmdetect/Otel.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// What an OpenTelemetry SDK does with OTEL_RESOURCE_ATTRIBUTES: split at
// ',' and the first '=', then percent-decode. A piece left raw that holds
// a character the encoder must escape fails the test.
Pairs ParseBack(const std::string& line) {
    const auto decode = [&line](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            EXPECT_TRUE(c > 0x20 && c < 0x7f && c != ';') << line;
            if (text[i] == '%' && i + 2 < text.size()) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    Pairs pairs;
    size_t start = 0;
    while (!line.empty() && start <= line.size()) {
        size_t comma = line.find(',', start);
        comma = comma == std::string::npos ? line.size() : comma;
        const std::string piece = line.substr(start, comma - start);
        const size_t equals = piece.find('=');
        EXPECT_NE(equals, std::string::npos) << line;
        EXPECT_EQ(piece.find('=', equals + 1), std::string::npos) << line;
        pairs.emplace_back(decode(piece.substr(0, equals)), decode(piece.substr(equals + 1)));
        start = comma + 1;
    }
    return pairs;
}

TEST(Otel, LinesParseBackToTheReport) {
    struct Case {
        const char* report;
        Pairs expected;
    };
    const Case cases[] = {
        {R"({"hypervisor":"kvm","container":"none","cloud.provider":"aws",)"
         R"("cloud.region":"eu-central-1","host.id":"i-01b0f6cf495625076",)"
         R"("sources":{"hypervisor":"cpuid","cloud.provider":"imds"}})",
         {{"hypervisor", "kvm"},
          {"container", "none"},
          {"cloud.provider", "aws"},
          {"cloud.region", "eu-central-1"},
          {"host.id", "i-01b0f6cf495625076"}}},
        {R"({"firmware.product":"a,b=c;d%e f\tg\nh","firmware.vendor":"Caf\u00e9 \u0001\"x\""})",
         {{"firmware.product", "a,b=c;d%e f\tg\nh"}, {"firmware.vendor", "Caf\xc3\xa9 \x01\"x\""}}},
        {R"({"cloud.availability_zone":"hSoJ:US-ASHBURN-AD-1","empty":"","nested":{"a":"b"},)"
         R"("list":["x"],"none":null,"count":3,"flag":true})",
         {{"cloud.availability_zone", "hSoJ:US-ASHBURN-AD-1"}, {"count", "3"}, {"flag", "true"}}},
        {R"({"sources":{}})", {}},
    };
    for (const Case& c : cases) {
        std::string line;
        ASSERT_TRUE(vmdetect_cli::OtelLine(c.report, line)) << c.report;
        EXPECT_EQ(ParseBack(line), c.expected) << line;
    }
}

TEST(Otel, NotAnObjectLeavesTheLine) {
    for (const char* report : {"", "[]", "\"x\"", "{\"a\":", "{\"a\":\"b\"} trailing"}) {
        std::string line = "untouched";
        EXPECT_FALSE(vmdetect_cli::OtelLine(report, line)) << report;
        EXPECT_EQ(line, "untouched");
    }
}

}  // namespace
