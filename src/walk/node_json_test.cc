#include "walk/node_json.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/unicode_text.h"
#include "walk/privileged_walk.h"

namespace kelmarind::walk {
namespace {

constexpr std::string_view leafDocument =
    R"({"name":"x\"y","path":"\/a\/b","isDirectory":false,"allocatedSize":-1,"folderCount":0,)"
    R"("fileCount":1,"modificationDate":-978307200,"isAggregate":false,"children":[]})";

TEST(NodeJsonTest, WritesTheCompactFormAndReadsItBackEqual) {
  const PrivilegedNode leaf{"x\"y", "/a/b", false, -1, 0, 1, -978307200.0, false, {}};
  EXPECT_EQ(encodeDocument(leaf).value(), leafDocument);
  PrivilegedNode tree{"d", "/d", true, INT64_MAX, 1, 2, std::nullopt, false, {leaf, leaf}};
  tree.children[0].name = "q\"\\/\x01\x1f\n\tGrüße ✓";
  tree.children[1] = {"2 more items", "", false, 0, 0, 0, std::nullopt, true, {}};
  const std::string document = encodeDocument(tree).value();
  EXPECT_TRUE(document.starts_with(R"({"name":"d","path":"\/d","isDirectory":true,)"
                                   R"("allocatedSize":9223372036854775807,"folderCount":1,)"
                                   R"("fileCount":2,"isAggregate":false,"children":[{)"));
  EXPECT_TRUE(document.ends_with(R"("isAggregate":true,"children":[]}]})"));
  EXPECT_TRUE(platform::isValidUtf8(document));
  EXPECT_EQ(decodeDocument(document).value(), tree);
}

TEST(NodeJsonTest, DatesUseTheShortestFormThatReadsBackTheSame) {
  const std::pair<double, std::string_view> rows[] = {
      {0.0, ":0,"},
      {-978307200.0, ":-978307200,"},
      {0.1, ":0.1,"},
      {-0.5, ":-0.5,"},
      {1e300, ":1e+300,"},
      // Whole and beyond 64-bit integers: digits alone would read as an
      // integer out of range, so these take the scientific form.
      {-97830727777777777700.5, ":-9.783072777777778e+19,"},
      {-9223372037833083008.0, ":-9.223372037833083e+18,"},
      {0x1p63, ":9.223372036854776e+18,"},
      {0x1p62, ":4611686018427387904,"},
  };
  for (const auto& [date, text] : rows) {
    const std::string document =
        encodeDocument({"n", "/n", false, 0, 0, 1, date, false, {}}).value();
    EXPECT_NE(document.find(std::string("\"modificationDate\"") += text), std::string::npos);
    EXPECT_EQ(decodeDocument(document).value().modificationDate, date);
  }
  const auto nan = encodeDocument({"n", "/n", false, 0, 0, 1, std::nan(""), false, {}});
  ASSERT_FALSE(nan.has_value());
  EXPECT_EQ(nan.error().path, "/n");
}

// The walk's compact form stores most paths as their parent's plus the name
// and writes them from the parent's escaped text: every kind of path must
// come out as the value form writes it.
TEST(NodeJsonTest, TheCompactFormWritesTheSameDocumentAsTheValueForm) {
  const auto leaf = [](const std::string& name, const std::string& path) {
    return PrivilegedNode{
        std::pmr::string(name), std::pmr::string(path), false, 1, 0, 1, 2.5, false, {}};
  };
  const std::string odd = "q\"\\/\x01\x1f\n Grüße";
  PrivilegedNode d{"d", "/d", true, 5, 1, 4, std::nullopt, false, {}};
  d.children = {leaf(odd, "/d/" + odd),     // its parent's path and its name
                leaf("x", "/elsewhere/x"),  // a path of its own
                leaf("y", "/d/zz"),         // a name that is not the path's end
                leaf("e", ""),              // no path, yet no aggregate
                {"9 more items", "", false, 0, 0, 9, std::nullopt, true, {}},
                // Read from elsewhere, an aggregate may have a path.
                {"1 more item", "/d/agg", false, 0, 0, 1, std::nullopt, true, {}}};
  PrivilegedNode root{"/", "/", true, 6, 2, 5, 1.0, false, {d, leaf("f", "/f")}};

  const WalkedTree compact = WalkedTree::fromValue(root);
  const std::string document = encodeDocument(root).value();
  EXPECT_EQ(encodeDocument(compact.root()).value_or("(failed)"), document);
  EXPECT_EQ(compact.toValue(), root);
  EXPECT_NE(document.find(R"("path":"\/d\/q\"\\\/\u0001\u001f\n Grüße")"), std::string::npos);

  // A rejected date names the node's path, which the compact form has to
  // put together.
  root.children[0].children[0].modificationDate = std::nan("");
  const auto rejected = encodeDocument(WalkedTree::fromValue(root).root());
  ASSERT_FALSE(rejected.has_value());
  EXPECT_EQ(rejected.error().path, "/d/" + odd);
}

}  // namespace
}  // namespace kelmarind::walk
