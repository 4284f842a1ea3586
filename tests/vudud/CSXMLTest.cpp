#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CSXML.h"

namespace {

// Records every callback as one line: "open PATH[ VALUE]", "attr PATH NAME=VALUE", "close PATH".
class Recorder : public CSXMLBuffer {
public:
    std::vector<std::string> events;
    size_t refuseAt = SIZE_MAX;  // the callback with this index returns false

    std::vector<std::string> parse(const std::string& doc, int options = 0) {
        events.clear();
        ok = parseData(doc.data(), doc.size(), options);
        return events;
    }
    bool ok = false;

protected:
    bool openNode(const char* path, const char* value) override {
        return record(std::string("open ") + path + (*value ? std::string(" ") + value : ""));
    }
    bool closeNode(const char* path) override { return record(std::string("close ") + path); }
    bool addAttribute(const char* path, const char* name, const char* value) override {
        return record(std::string("attr ") + path + " " + name + "=" + value);
    }

private:
    bool record(std::string line) {
        events.push_back(std::move(line));
        return events.size() - 1 != refuseAt;
    }
};

using Events = std::vector<std::string>;

}  // namespace

TEST(CSXMLTest, DocumentsAreReportedAsPathsAttributesAndTextNodesWithQuotingRules) {
    struct Case {
        const char* doc;
        Events events;
    } cases[] = {
        {"<a x='1' y='2'>t</a>",
         {"open /a", "attr /a x=1", "attr /a y=2", "open /a/ t", "close /a/", "close /a"}},
        {"<A><B/></A>", {"open /a", "open /a/b", "close /a/b", "close /a"}},
        // A close tag closes everything opened inside its element, innermost first.
        {"<a><b><c></a>", {"open /a", "open /a/b", "open /a/b/c", "close /a/b/c", "close /a/b", "close /a"}},
        {"<a><b></x>t</a>",
         {"open /a", "open /a/b", "open /a/b/ t", "close /a/b/", "close /a/b", "close /a"}},
        {"<a>&lt;b&amp;</a>", {"open /a", "open /a/ &lt;b&amp;", "close /a/", "close /a"}},
        {"<a>\n <b>x</b>\n</a>",
         {"open /a", "open /a/ \n ", "close /a/", "open /a/b", "open /a/b/ x", "close /a/b/", "close /a/b",
          "open /a/ \n", "close /a/", "close /a"}},
        // Text after the last tag and nodes open at the end are left unreported.
        {"<a><b>tail", {"open /a", "open /a/b"}},
        {"<a>1 < 2</a>", {"open /a", "open /a/ 1 < 2", "close /a/", "close /a"}},
        {"<a><!-- c --><![CDATA[ <b>&x ]]></a>",
         {"open /a", "open /a/!--  c ", "close /a/!--", "open /a/![CDATA[  <b>&x ", "close /a/![CDATA[",
          "close /a"}},
        {"<?xml version=\"1.0\"?><halvora><command>newspace</command><space><title>My "
         "Files</title></space></halvora>",
         {"open /?xml", "attr /?xml version=1.0", "close /?xml", "open /halvora", "open /halvora/command",
          "open /halvora/command/ newspace", "close /halvora/command/", "close /halvora/command",
          "open /halvora/space", "open /halvora/space/title", "open /halvora/space/title/ My Files",
          "close /halvora/space/title/", "close /halvora/space/title", "close /halvora/space",
          "close /halvora"}},
        // Attribute values follow the quoting rules.
        {"<A HREF='Mixed Case' x = \"it's\" y='say \"hi\" <b>'>",
         {"open /a", "attr /a href=Mixed Case", "attr /a x=it's", "attr /a y=say \"hi\" <b>"}},
        // An unquoted value runs to white space, ">", "<" or a quote; "/" belongs to it.
        {"<a z=u/v w\tv=1>", {"open /a", "attr /a z=u/v", "attr /a w=", "attr /a v=1"}},
        {"<a b=1/>", {"open /a", "attr /a b=1/"}},
        {"<a b/>", {"open /a", "attr /a b=", "close /a"}},
        {"<a\r\nk\n=\n'v'/>", {"open /a", "attr /a k=v", "close /a"}},
        // An unfinished tag ends where the next markup begins.
        {"<a x<b>", {"open /a", "attr /a x=", "open /a/b"}},
    };
    for (const Case& c : cases) {
        Recorder r;
        EXPECT_EQ(r.parse(c.doc), c.events) << c.doc;
    }
}

TEST(CSXMLTest, TheDeclaredEncodingDecidesHowHighBytesAreRead) {
    const std::string e9 = "\xC3\xA9";  // U+00E9 in UTF-8
    struct Case {
        std::string doc;
        std::string text;
    } cases[] = {
        {"<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9</a>", "caf" + e9},
        {"<?xml version='1.0' encoding=\"iso-8859-1\" ?><a>\xE9\xFF</a>", e9 + "\xC3\xBF"},
        {"<?xml version='1.0' encoding='windows-1252'?><a>caf\xE9</a>", "caf?"},
        {"<?xml version='1.0' ENCODING='UCS-2'?><a>\xE9</a>", e9},
        {"<?xml version='1.0' encoding='UTF-8'?><a>caf" + e9 + "</a>", "caf" + e9},
        // Without a declaration the input is UTF-8.
        {"<a>" + e9 + "\xE2\x82\xAC</a>", e9 + "\xE2\x82\xAC"},
        // Overlong forms, 4-byte sequences, broken and stray bytes all become "?".
        {"<a>\xC0\xA9|\xF0\x9F\x98\x80|\xC3Z|\xA9|\xED\xA0\x80</a>", "?|?|?Z|?|?"},
        // Only a declaration named exactly "?xml" selects an encoding.
        {"<?XML encoding='ISO-8859-1'?><a>\xE9</a>", "?"},
    };
    for (const Case& c : cases) {
        Recorder r;
        const Events ev = r.parse(c.doc);
        ASSERT_GE(ev.size(), 3u) << c.doc;
        EXPECT_EQ(ev[ev.size() - 3], "open /a/ " + c.text) << c.doc;
    }
}

TEST(CSXMLTest, ARefusingCallbackStopsTheParseWithoutAnError) {
    Recorder r;
    r.refuseAt = 1;
    EXPECT_EQ(r.parse("<a x='1' y='2'><b/></a>"), (Events{"open /a", "attr /a x=1"}));
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.getError(nullptr, nullptr));
    // Refusal in the middle of a close tag's cascade.
    r.refuseAt = 3;
    EXPECT_EQ(r.parse("<a><b><c></a>"), (Events{"open /a", "open /a/b", "open /a/b/c", "close /a/b/c"}));
    EXPECT_FALSE(r.ok);
}

TEST(CSXMLTest, DeepNestingIsHandledWithoutRecursion) {
    const int depth = 2000;
    std::string doc = "<r>";
    for (int i = 0; i < depth; i++) doc += "<a>";
    // Unmatched close tags among deeply nested elements are dismissed; the root's tag closes all.
    for (int i = 0; i < depth; i++) doc += "</zz>";
    doc += "</r>";
    Recorder r;
    const Events ev = r.parse(doc);
    ASSERT_EQ(ev.size(), 2u * (depth + 1));
    EXPECT_EQ(ev[depth + 1], "close " + ev[depth].substr(5));
    EXPECT_EQ(ev[2 * depth], "close /r/a");
    EXPECT_EQ(ev.back(), "close /r");

    // Markup nested in declarations beyond the tracked 200 levels still opens and closes in order.
    const int declDepth = 450;
    doc.clear();
    for (int i = 0; i < declDepth; i++) doc += "<!d x ";
    for (int i = 0; i < declDepth; i++) doc += ">";
    doc += "<e/>";
    const Events dev = r.parse(doc);
    ASSERT_EQ(dev.size(), 3u * declDepth + 2);
    EXPECT_EQ(dev[3 * declDepth - 1], "close /!d");
    EXPECT_EQ(dev[3 * declDepth], "open /e");
}
