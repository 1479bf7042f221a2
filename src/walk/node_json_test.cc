#include "walk/node_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/unicode_text.h"

namespace kelmarind::walk {
namespace {

PrivilegedNode leaf(std::string name, std::optional<double> date) {
  return {name, "/a/" + name, false, 512, 0, 1, date, false, {}};
}

PrivilegedNode sampleTree() {
  PrivilegedNode aggregate{"2 more items", "", false, 3, 1, 1, std::nullopt, true, {}};
  PrivilegedNode empty{"empty", "/a/empty", true, 0, 1, 0, -1.5, false, {}};
  return {"a",
          "/a",
          true,
          1027,
          3,
          4,
          0.0,
          false,
          {leaf("q\"b\\s/c\x01\x1f\n\t", 978307200.25), leaf("Grüße ✓", std::nullopt),
           std::move(empty), std::move(aggregate)}};
}

TEST(NodeJsonTest, WritesTheCompactFormWithEscapedSolidus) {
  const PrivilegedNode node{"x\"y", "/a/b", false, -1, 0, 1, -978307200.0, false, {}};
  EXPECT_EQ(encodeDocument(node).value(),
            R"({"name":"x\"y","path":"\/a\/b","isDirectory":false,"allocatedSize":-1,)"
            R"("folderCount":0,"fileCount":1,"modificationDate":-978307200,)"
            R"("isAggregate":false,"children":[]})");
  PrivilegedNode directory{"d", "/d", true, 9223372036854775807, 2, 0, std::nullopt, false, {}};
  directory.children.push_back({"", "", false, 0, 1, 0, std::nullopt, true, {}});
  directory.children.push_back(directory.children.front());
  EXPECT_EQ(encodeDocument(directory).value(),
            R"({"name":"d","path":"\/d","isDirectory":true,"allocatedSize":9223372036854775807,)"
            R"("folderCount":2,"fileCount":0,"isAggregate":false,"children":[)"
            R"({"name":"","path":"","isDirectory":false,"allocatedSize":0,"folderCount":1,)"
            R"("fileCount":0,"isAggregate":true,"children":[]},)"
            R"({"name":"","path":"","isDirectory":false,"allocatedSize":0,"folderCount":1,)"
            R"("fileCount":0,"isAggregate":true,"children":[]}]})");
}

TEST(NodeJsonTest, DatesUseTheShortestRoundTripForm) {
  const std::pair<double, std::string_view> rows[] = {
      {0.0, R"("modificationDate":0,)"},        {-978307200.0, R"("modificationDate":-978307200,)"},
      {0.1, R"("modificationDate":0.1,)"},      {-0.5, R"("modificationDate":-0.5,)"},
      {1e300, R"("modificationDate":1e+300,)"},
  };
  for (const auto& [date, member] : rows) {
    const auto document = encodeDocument(leaf("n", date)).value();
    EXPECT_NE(document.find(member), std::string::npos) << document;
    EXPECT_EQ(decodeDocument(document).value().modificationDate, date);
  }
}

TEST(NodeJsonTest, ReadingWhatWasWrittenGivesAnEqualTree) {
  const PrivilegedNode tree = sampleTree();
  const auto document = encodeDocument(tree).value();
  EXPECT_EQ(document.find('\n'), std::string::npos);
  EXPECT_TRUE(platform::isValidUtf8(document));
  EXPECT_EQ(decodeDocument(document).value(), tree);
}

TEST(NodeJsonTest, DeepTreesRoundTrip) {
  PrivilegedNode root = leaf("bottom", 1.0);
  for (int i = 0; i < 6000; ++i) {
    PrivilegedNode parent{"d", "/d", true, 512, i + 1, 1, std::nullopt, false, {}};
    parent.children.push_back(std::move(root));
    root = std::move(parent);
  }
  const auto decoded = decodeDocument(encodeDocument(root).value());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().description();
  EXPECT_TRUE(*decoded == root);
}

TEST(NodeJsonTest, RejectsDatesJsonCannotExpress) {
  for (double date : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    auto tree = sampleTree();
    tree.children[1].modificationDate = date;
    const auto document = encodeDocument(tree);
    ASSERT_FALSE(document.has_value());
    EXPECT_EQ(document.error().path, tree.children[1].path);
  }
}

constexpr std::string_view kValid =
    R"({"name":"n","path":"\/n","isDirectory":false,"allocatedSize":1,"folderCount":0,)"
    R"("fileCount":1,"isAggregate":false,"children":[]})";

std::string replaced(std::string_view from, std::string_view to) {
  std::string out(kValid);
  out.replace(out.find(from), from.size(), to);
  return out;
}

TEST(NodeJsonTest, ReadingFailsOnTheFirstBadMember) {
  using Kind = DecodeError::Kind;
  const std::tuple<std::string, Kind, std::string> rows[] = {
      {replaced(R"("children":[])", R"("kids":[])"), Kind::keyNotFound, "children"},
      {replaced(R"("name":"n",)", ""), Kind::keyNotFound, "name"},
      {replaced(R"("isDirectory":false)", R"("isDirectory":0)"), Kind::typeMismatch, "isDirectory"},
      {replaced(R"("allocatedSize":1)", R"("allocatedSize":"1")"), Kind::typeMismatch,
       "allocatedSize"},
      {replaced(R"("fileCount":1)", R"("fileCount":1.5)"), Kind::typeMismatch, "fileCount"},
      {replaced(R"("allocatedSize":1)", R"("allocatedSize":9223372036854775808)"),
       Kind::numberOutOfRange, "allocatedSize"},
      {replaced(R"("isAggregate":false)", R"("isAggregate":false,"modificationDate":"x")"),
       Kind::typeMismatch, "modificationDate"},
      {replaced(R"("children":[])", R"("children":[{"name":"c"}])"), Kind::keyNotFound, "path"},
      {replaced(R"("children":[])", R"("children":[7])"), Kind::typeMismatch, "node"},
      {"[]", Kind::typeMismatch, "node"},
      {std::string(kValid.substr(0, 40)), Kind::malformed, ""},
  };
  for (const auto& [json, kind, key] : rows) {
    const auto node = decodeDocument(json);
    ASSERT_FALSE(node.has_value()) << json;
    EXPECT_EQ(node.error().kind, kind) << json;
    if (kind != Kind::malformed) {
      EXPECT_EQ(node.error().detail, key) << json;
    }
  }
  EXPECT_EQ(decodeDocument(replaced(R"("name":"n",)", "")).error().description(),
            "No value for the key \"name\"");
}

TEST(NodeJsonTest, AcceptsNullDatesIntegerDatesAndExtraMembers) {
  const auto nullDate =
      decodeDocument(replaced("\"isAggregate\"", "\"modificationDate\":null,\"isAggregate\""));
  ASSERT_TRUE(nullDate.has_value());
  EXPECT_FALSE(nullDate->modificationDate);
  const auto extra = decodeDocument(replaced("{", R"({"extra":{"deep":[1,2]},"Name":5,)"));
  ASSERT_TRUE(extra.has_value());
  EXPECT_EQ(extra->name, "n");
  EXPECT_EQ(extra->path, "/n");
  EXPECT_EQ(decodeDocument(replaced("\"isAggregate\"", "\"modificationDate\":7,\"isAggregate\""))
                ->modificationDate,
            7.0);
}

TEST(CodingKeysTest, KeysComeOnlyFromTheirExactText) {
  EXPECT_EQ(CodingKeys::fromText("fileCount")->value, CodingKeys::Case::fileCount);
  EXPECT_EQ(CodingKeys::fromText("children")->text(), "children");
  for (std::string_view text : {"FileCount", " name", "", "0", "name "})
    EXPECT_FALSE(CodingKeys::fromText(text)) << text;
}

}  // namespace
}  // namespace kelmarind::walk
