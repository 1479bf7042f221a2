#include "walk/node_json.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

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

  // Siblings repeat their dates, as files installed together do; each still
  // gets its own text, with 0 and -0 apart, in both forms.
  PrivilegedNode d{"d", "/d", true, 0, 1, 6, std::nullopt, false, {}};
  for (const double date : {0.5, 0.5, 0.0, -0.0, -0.0, 0.5}) {
    d.children.push_back({"f", "/d/f", false, 0, 0, 1, date, false, {}});
  }
  const auto datesIn = [](const std::string& document) {
    std::string texts;
    const std::string key = "\"modificationDate\"";
    for (auto at = document.find(key); at != std::string::npos; at = document.find(key, at + 1)) {
      const auto start = at + key.size();
      texts += document.substr(start, document.find(',', start) + 1 - start);
    }
    return texts;
  };
  EXPECT_EQ(datesIn(encodeDocument(d).value()), ":0.5,:0.5,:0,:-0,:-0,:0.5,");
  const WalkedTree tree = WalkedTree::fromValue(d);
  EXPECT_EQ(datesIn(encodeDocument(tree.root()).value()), ":0.5,:0.5,:0,:-0,:-0,:0.5,");
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

// A tree whose document spans several chunks: sibling directories whose
// children's paths are written from their parent's, a directory with a path of
// its own whose children's paths follow it, and a leaf whose path alone is
// larger than a chunk.
PrivilegedNode treeOfSeveralChunks() {
  const auto leaf = [](const std::string& name, const std::string& parent) {
    std::string path = parent + "/" + name;
    return PrivilegedNode{
        std::pmr::string(name), std::pmr::string(path), false, 1, 0, 1, 2.5, false, {}};
  };
  const auto directory = [](const std::string& name, const std::string& path) {
    return PrivilegedNode{
        std::pmr::string(name), std::pmr::string(path), true, 1, 0, 0, std::nullopt, false, {}};
  };
  PrivilegedNode root = directory("r", "/r");
  for (const std::string name : {"a", "b\\"}) {
    PrivilegedNode child = directory(name, "/r/" + name);
    PrivilegedNode grandchild = directory("g\n", child.path.c_str() + std::string("/g\n"));
    for (int i = 0; i < 10000; ++i) {
      grandchild.children.push_back(
          leaf("file-" + std::to_string(i) + "-\x01\"", std::string(grandchild.path)));
    }
    child.children.push_back(std::move(grandchild));
    root.children.push_back(std::move(child));
  }
  PrivilegedNode elsewhere = directory("e", "/elsewhere/e");
  elsewhere.children.push_back(leaf("x", "/elsewhere/e"));
  root.children.push_back(std::move(elsewhere));
  root.children.push_back(leaf(std::string(3 * ChunkedOutput::chunkSize / 2, 'l'), "/r"));
  root.children.push_back(leaf("last", "/r"));
  return root;
}

// Writing a chunk at a time must give exactly the document the value form
// writes whole, whichever thread writes the chunks: several at once take more
// writer threads than there are cores, so some are written on the encoder's.
TEST(NodeJsonTest, WritingChunkByChunkGivesTheWholeDocument) {
  const PrivilegedNode value = treeOfSeveralChunks();
  const WalkedTree tree = WalkedTree::fromValue(value);
  const std::string whole = encodeDocument(value).value();
  EXPECT_EQ(encodeDocument(tree.root()).value_or("(failed)"), whole);
  // More chunks than buffers, so that buffers are taken again.
  ASSERT_GT(whole.size(), (ChunkedOutput::bufferCount + 1) * ChunkedOutput::chunkSize);
  const unsigned writers = std::max(2U, std::thread::hardware_concurrency()) + 1;
  std::vector<std::string> written(writers);
  std::vector<std::size_t> chunks(writers);
  std::vector<std::size_t> sizes(writers);
  {
    std::vector<std::jthread> threads;
    threads.reserve(writers);
    for (unsigned i = 0; i < writers; ++i) {
      threads.emplace_back([&, i] {
        // A slow writer, that reads its chunk only after a while: the
        // encoder must not fill a buffer whose chunk is still waiting.
        const auto size = writeDocument(tree.root(), [&](std::string_view chunk) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          written[i] += chunk;
          ++chunks[i];
          return std::expected<void, platform::OsError>();
        });
        sizes[i] = size.value_or(0);
      });
    }
  }
  for (unsigned i = 0; i < writers; ++i) {
    EXPECT_EQ(written[i], whole) << "writer " << i;
    EXPECT_EQ(sizes[i], whole.size());
    EXPECT_GT(chunks[i], ChunkedOutput::bufferCount);
  }
}

// A writer that fails (a client gone, a full disk) ends the writing: nothing
// more is handed to it, not even the chunks handed on while it failed
// slowly, and its failure is what writeDocument returns.
TEST(NodeJsonTest, WritingStopsAtTheWritersFirstFailure) {
  const WalkedTree tree = WalkedTree::fromValue(treeOfSeveralChunks());
  std::atomic<int> calls = 0;
  const auto result = writeDocument(tree.root(), [&](std::string_view) {
    if (++calls != 2) return std::expected<void, platform::OsError>();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return std::expected<void, platform::OsError>(
        std::unexpected(platform::OsError{.code = EPIPE, .operation = "write"}));
  });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(std::get<platform::OsError>(result.error()).code, EPIPE);
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace kelmarind::walk
