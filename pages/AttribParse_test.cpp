// Tests of the tag parser that the page compilers share.
#include <gtest/gtest.h>

#include "pages/TextPage.h"

namespace {

using Attributes = std::map<std::u16string, std::u16string>;

struct TagCase {
    const char* label;
    std::u16string text;
    bool result;
    std::u16string tag;
    Attributes attributes;
    int endPos;
};

class AttribParseTest : public testing::TestWithParam<TagCase> {};

TEST_P(AttribParseTest, Parses) {
    const TagCase& c = GetParam();
    std::u16string tag;
    Attributes attributes;
    int endPos = -1;
    EXPECT_EQ(CTextPage::AttribParse(c.text, tag, attributes, endPos), c.result);
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(attributes, c.attributes);
    EXPECT_EQ(endPos, c.endPos);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, AttribParseTest,
    testing::Values(
        TagCase{"BootScript",
                u"<script language=vbscript runat=server>\r\nSub X\r\n",
                true,
                u"SCRIPT",
                {{u"LANGUAGE", u"vbscript"}, {u"RUNAT", u"server"}},
                39},
        TagCase{"NoAttributes", u"<SCRIPT>", false, u"", {}, 8},
        TagCase{"NoTag", u"plain text", false, u"", {}, -1},
        TagCase{"Unclosed", u"<script a=b", false, u"", {}, -1},
        TagCase{"SingleQuotesKept", u"<object id='x'>", true, u"OBJECT", {{u"ID", u"'x'"}}, 15},
        TagCase{"DoubleQuotesStripped", u"<object id=\"x\">", true, u"OBJECT", {{u"ID", u"x"}}, 15},
        TagCase{"QuotedSpaceKeepsFirstWord",
                u"<param name=\"two words\" value=1>",
                true,
                u"PARAM",
                {{u"NAME", u"two"}, {u"WORDS\"", u"1"}},
                32},
        TagCase{"CarriageReturnKept",
                u"<script runat=server\r\nlanguage=jscript>",
                true,
                u"SCRIPT",
                {{u"RUNAT", u"server\r"}, {u"LANGUAGE", u"jscript"}},
                39},
        TagCase{"SpacesAroundEquals",
                u"  x <Tag  a = 1\tb=2 >tail",
                true,
                u"TAG",
                {{u"A", u"1"}, {u"B", u"2"}},
                21},
        TagCase{"TrailingWordIgnored", u"<t a=1 lonely>", true, u"T", {{u"A", u"1"}}, 14},
        TagCase{"NameWithoutEqualsFails", u"<t a b>", false, u"T", {}, 7},
        TagCase{"LaterValueReplaces", u"<t a=1 A=2>", true, u"T", {{u"A", u"2"}}, 11},
        TagCase{"GreaterThanInQuotesEndsTag", u"<t a=\"x>y\">", true, u"T", {{u"A", u"x"}}, 8}),
    [](const testing::TestParamInfo<TagCase>& info) { return info.param.label; });

}  // namespace
