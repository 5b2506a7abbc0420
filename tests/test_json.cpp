// The JSON helper on the inputs a metadata service, or something posing as
// one, can send: it answers false or "" and never throws.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "adapters/ZtJson.h"

namespace {

std::string Nested(const std::string& open, const std::string& close, size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) {
        text += open;
    }
    text += "1";
    for (size_t i = 0; i < depth; ++i) {
        text += close;
    }
    return text;
}

TEST(JsonHelper, UnserializeAndId) {
    struct Case {
        const char* name;
        std::string text;
        bool parsed;
        std::string id;  // GetStringValue(..., "id") when parsed
    };
    const Case cases[] = {
        {"object with id", R"({"id":"ocid1.instance.oc1.x"})", true, "ocid1.instance.oc1.x"},
        {"id missing", R"({"name":"x"})", true, ""},
        {"id a number", R"({"id":12345})", true, ""},
        {"id null", R"({"id":null})", true, ""},
        {"id an object", R"({"id":{"id":"inner"}})", true, ""},
        {"id an array", R"({"id":["a"]})", true, ""},
        {"id empty", R"({"id":""})", true, ""},
        {"escaped NUL inside id", R"({"id":"a\u0000b"})", true, std::string("a\0b", 3)},
        {"surrounding white space", " \n{\"id\":\"x\"}\n ", true, "x"},
        {"moderate nesting", "{\"id\":\"x\",\"n\":" + Nested("[", "]", 100) + "}", true, "x"},
        {"empty text", "", false, ""},
        {"not JSON", "<html>401 - Unauthorized</html>", false, ""},
        {"array", R"([{"id":"x"}])", false, ""},
        {"string", R"("x")", false, ""},
        {"number", "42", false, ""},
        {"null", "null", false, ""},
        {"truncated", R"({"id":"x")", false, ""},
        {"trailing garbage", R"({"id":"x"} trailing)", false, ""},
        {"raw NUL after object", std::string("{\"id\":\"x\"}\0junk", 15), false, ""},
        {"raw NUL inside string", std::string("{\"id\":\"a\0b\"}", 12), false, ""},
        {"invalid UTF-8", "{\"id\":\"\xff\xfe\"}", false, ""},
        {"arrays thousands deep", "{\"n\":" + Nested("[", "]", 100000) + "}", false, ""},
        {"objects thousands deep", "{\"n\":" + Nested("{\"a\":", "}", 100000) + "}", false, ""},
    };
    for (const Case& c : cases) {
        mObject object;
        bool parsed = false;
        EXPECT_NO_THROW(parsed = ZtJson::Unserialize(c.text, object)) << c.name;
        EXPECT_EQ(parsed, c.parsed) << c.name;
        if (parsed) {
            EXPECT_EQ(ZtJson::GetStringValue(object, "id"), c.id) << c.name;
        }
    }
}

TEST(JsonHelper, OracleInstanceDocument) {
    const std::string text =
        testsupport::ReadFile(testsupport::DataPath("metadata/oci-opc-v1-instance-ashburn-2017.json"));
    ASSERT_FALSE(text.empty());
    mObject object;
    ASSERT_TRUE(ZtJson::Unserialize(text, object));
    EXPECT_EQ(ZtJson::GetStringValue(object, "id"),
              "ocid1.instance.oc1.iad.abuwcljt5e4yeh5jayhverhtnvsxjvlg3imevahj4xoipchptbtvzmir3ciq");
    EXPECT_EQ(ZtJson::GetStringValue(object, "region"), "iad");
    EXPECT_EQ(ZtJson::GetStringValue(object, "timeCreated"), "");  // a number
    EXPECT_EQ(ZtJson::GetStringValue(object, "metadata"), "");     // an object
}

TEST(JsonHelper, FailedParseLeavesTheObjectAlone) {
    mObject object;
    ASSERT_TRUE(ZtJson::Unserialize(R"({"id":"first"})", object));
    EXPECT_FALSE(ZtJson::Unserialize("[1]", object));
    EXPECT_FALSE(ZtJson::Unserialize("{", object));
    EXPECT_EQ(ZtJson::GetStringValue(object, "id"), "first");
}

// Keeping some top-level members: the others are gone, nested names are not
// compared, and what is refused whole still is.
TEST(JsonHelper, KeepingOnlyNamedMembers) {
    static const char* const kKeep[] = {"TaskARN", "Family"};
    mObject object;
    ASSERT_TRUE(ZtJson::Unserialize(R"({"TaskARN":"a","Containers":[{"TaskARN":"b"}],"Family":{"Family":1,"x":2}})",
                                    object, kKeep, 2));
    EXPECT_EQ(object.size(), 2u);
    EXPECT_EQ(ZtJson::GetStringValue(object, "TaskARN"), "a");
    EXPECT_EQ(object.at("Family").size(), 2u);
    EXPECT_FALSE(ZtJson::Unserialize(R"({"Family":1} x)", object, kKeep, 2));
    EXPECT_FALSE(ZtJson::Unserialize(std::string(R"({"Containers":)") + Nested("[", "]", 300) + "}", object, kKeep, 2));
    EXPECT_FALSE(ZtJson::Unserialize(R"(["TaskARN"])", object, kKeep, 2));
}

}  // namespace
