// The treemap page in a real browser: headless Chromium opens the page that
// kelmarind-scan wrote for a real helper's walk and takes a screenshot; the
// largest box must be where the layout puts it, in its colour, and again
// once the page is zoomed into a directory.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "client/scan_tree.h"
#include "client/treemap_document.h"
#include "client/treemap_layout.h"
#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

namespace kelmarind::testing {
namespace {

using client::Rect;
using client::Rgb;
using client::TreemapBox;

constexpr int barHeight = 28;  // the page's path bar above the map

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
  [[nodiscard]] Rgb at(double x, double y) const {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x));
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
};

std::optional<Image> readPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  Image out{static_cast<int>(image.width), static_cast<int>(image.height), {}};
  out.rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr) == 0) return std::nullopt;
  return out;
}

std::string chromiumPath() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

std::string describe(Rgb c) {
  return std::to_string(c.red) + "," + std::to_string(c.green) + "," + std::to_string(c.blue);
}

bool isNear(Rgb a, Rgb b) {
  return std::abs(a.red - b.red) <= 3 && std::abs(a.green - b.green) <= 3 &&
         std::abs(a.blue - b.blue) <= 3;
}

Rect centerOf(const Rect& r) { return {r.x + r.width / 2, r.y + r.height / 2 + barHeight, 0, 0}; }

class TreemapPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chromium_ = chromiumPath();
    if (chromium_.empty()) GTEST_SKIP() << "Chromium is not installed (script/bootstrap adds it)";
    helper_ = std::make_unique<HelperProcess>();
    ASSERT_EQ(::mkdir((tree_ / "photos").c_str(), 0755), 0);
    addFile("video.bin", 6 << 20);
    addFile("photos/a.jpg", 2 << 20);
    addFile("photos/b.jpg", 1 << 20);
    addFile("notes.txt", 512 << 10);
  }

  void addFile(const std::string& relative, std::size_t size) {
    std::ofstream(tree_ / relative, std::ios::binary) << std::string(size, 'x');
  }

  ProcessResult scan(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binaryPath("kelmarind-scan"), "--socket",
                                     helper_->socketPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
  }

  // The page as Chromium shows it in a 1280 × 828 window: the map below the
  // bar is then exactly the layout's 1280 × 800.
  Image screenshot(const std::string& url) {
    const TempDir profile;
    const std::string png = scratch_ / "shot.png";
    // A browser that hangs fails the test instead of holding up the suite.
    const ProcessResult shot = runProcess(
        {"timeout", "120", chromium_, "--headless", "--no-sandbox", "--disable-gpu",
         "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile.path(),
         "--hide-scrollbars", "--force-device-scale-factor=1", "--window-size=1280,828",
         "--screenshot=" + png, url});
    EXPECT_EQ(shot.exitStatus, 0) << shot.err;
    std::optional<Image> image = readPng(png);
    EXPECT_TRUE(image.has_value()) << shot.err;
    EXPECT_EQ(image.value_or(Image{}).width, 1280);
    EXPECT_EQ(image.value_or(Image{}).height, 828);
    return image.value_or(Image{});
  }

  std::string chromium_;
  std::unique_ptr<HelperProcess> helper_;
  TempDir tree_;
  TempDir scratch_;
};

TEST_F(TreemapPageTest, ChromiumDrawsTheLargestBoxWhereTheLayoutPutsItAndZooms) {
  const std::string page = scratch_ / "map.html";
  const ProcessResult written = scan({"--treemap", page, tree_.path()});
  ASSERT_EQ(written.exitStatus, 0) << written.err;
  const ProcessResult json = scan({"--json", tree_.path()});
  ASSERT_EQ(json.exitStatus, 0) << json.err;
  const auto tree = client::ScanTree::read(json.out);
  ASSERT_TRUE(tree.has_value());
  const client::TreemapStyle style;
  const std::vector<TreemapBox> boxes = client::layoutTreemap(*tree, style);

  // The root's entries by size: video.bin, photos/, notes.txt.
  std::vector<const TreemapBox*> top;
  for (const TreemapBox& box : boxes) {
    if (box.depth == 1) top.push_back(&box);
  }
  ASSERT_EQ(top.size(), 3u);
  EXPECT_GT(top[0]->bounds.area(), 1280.0 * 800 * 0.55) << "video.bin, 6 of 9.5 MiB";
  const Image image = screenshot("file://" + page);
  ASSERT_FALSE(image.rgb.empty());
  // Every box that shows no entries of its own is seen in its fill colour:
  // video.bin, notes.txt and both photos.
  int checked = 0;
  for (const TreemapBox& box : boxes) {
    if (box.content.area() > 0) continue;
    const Rect center = centerOf(box.bounds);
    const Rgb seen = image.at(center.x, center.y);
    const Rgb fill = client::treemapFill(box, *tree);
    EXPECT_TRUE(isNear(seen, fill)) << (*tree)[box.entry].name << ": " << describe(seen)
                                    << " where the layout has " << describe(fill);
    ++checked;
  }
  EXPECT_EQ(checked, 4);

  // Zoomed into photos/: its largest entry fills the map as it filled photos/.
  const TreemapBox& photos = *top[1];
  ASSERT_EQ((*tree)[photos.entry].name, "photos");
  const TreemapBox* largest = nullptr;
  for (const TreemapBox& box : boxes) {
    if (box.parent == static_cast<std::int32_t>(&photos - boxes.data()) &&
        (largest == nullptr || box.bounds.area() > largest->bounds.area())) {
      largest = &box;
    }
  }
  ASSERT_NE(largest, nullptr);
  const Rect room = client::contentOf({0, 0, style.width, style.height}, style);
  const Rect zoomed{
      room.x + (largest->bounds.x - photos.content.x) / photos.content.width * room.width,
      room.y + (largest->bounds.y - photos.content.y) / photos.content.height * room.height,
      largest->bounds.width / photos.content.width * room.width,
      largest->bounds.height / photos.content.height * room.height};
  EXPECT_GT(zoomed.area(), 1280.0 * 800 * 0.5) << "a.jpg, 2 of 3 MiB";
  const Image zoomedImage = screenshot("file://" + page + "#zoom=photos");
  ASSERT_FALSE(zoomedImage.rgb.empty());
  const Rect center = centerOf(zoomed);
  const Rgb seen = zoomedImage.at(center.x, center.y);
  const Rgb fill = client::treemapFill(*largest, *tree);
  EXPECT_TRUE(isNear(seen, fill)) << describe(seen) << " where a.jpg has " << describe(fill);
  EXPECT_FALSE(isNear(image.at(center.x, center.y), fill)) << "the same point before zooming";
}

}  // namespace
}  // namespace kelmarind::testing
