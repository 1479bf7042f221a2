#include "platform/linux/info_plist.h"

#include <elf.h>
#include <link.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelmarind::platform::linux {
namespace {

constexpr std::string_view clientPlist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleName</key>
  <string>kelmarind-scan</string>
  <key>CFBundleIdentifier</key>
  <string>com.kelmarind.app</string>
</dict>
</plist>
)";

// A native ELF image with a null section, the given sections and the section
// name table last, laid out as: header, section contents, section headers.
struct ElfImage {
  std::vector<std::pair<std::string, std::string>> sections;

  std::vector<std::byte> build(
      const std::function<void(ElfW(Ehdr) &, std::vector<ElfW(Shdr)>&)>& corrupt = {}) const {
    std::string names(1, '\0');
    std::string contents;
    std::vector<ElfW(Shdr)> headers(1);
    const auto addSection = [&](const std::string& name, const std::string& bytes) {
      ElfW(Shdr) header{};
      header.sh_name = static_cast<ElfW(Word)>(names.size());
      header.sh_type = SHT_PROGBITS;
      header.sh_offset = sizeof(ElfW(Ehdr)) + contents.size();
      header.sh_size = bytes.size();
      names += name + '\0';
      contents += bytes;
      headers.push_back(header);
    };
    for (const auto& [name, bytes] : sections) addSection(name, bytes);
    addSection(".shstrtab", names + ".shstrtab" + '\0');
    ElfW(Ehdr) header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;
    header.e_ident[EI_DATA] = __BYTE_ORDER == __LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;
    header.e_shoff = sizeof header + contents.size();
    header.e_shentsize = sizeof(ElfW(Shdr));
    header.e_shnum = static_cast<ElfW(Half)>(headers.size());
    header.e_shstrndx = static_cast<ElfW(Half)>(headers.size() - 1);
    if (corrupt) corrupt(header, headers);
    std::vector<std::byte> image(sizeof header + contents.size() +
                                 headers.size() * sizeof headers[0]);
    std::memcpy(image.data(), &header, sizeof header);
    std::memcpy(image.data() + sizeof header, contents.data(), contents.size());
    std::memcpy(image.data() + sizeof header + contents.size(), headers.data(),
                headers.size() * sizeof headers[0]);
    return image;
  }
};

std::expected<std::string, IdentityError> identifierOfImage(const std::vector<std::byte>& image) {
  auto plist = infoPlistOfImage(image);
  if (!plist) return plist;
  return bundleIdentifierOf(*plist);
}

TEST(InfoPlistTest, FindsTheSectionAmongOthers) {
  const ElfImage image{
      {{".text", "code"}, {"__info_plist", std::string(clientPlist)}, {".data", "d"}}};
  EXPECT_EQ(identifierOfImage(image.build()), "com.kelmarind.app");
}

struct ImageCase {
  std::string name;
  std::function<void(ElfW(Ehdr)&, std::vector<ElfW(Shdr)>&)> corrupt;
  IdentityProblem problem;
};

class InfoPlistImageTest : public ::testing::TestWithParam<ImageCase> {};

TEST_P(InfoPlistImageTest, RefusesMalformedImage) {
  const ElfImage image{{{"__info_plist", std::string(clientPlist)}}};
  const auto identifier = identifierOfImage(image.build(GetParam().corrupt));
  ASSERT_FALSE(identifier.has_value());
  EXPECT_EQ(identifier.error().problem, GetParam().problem);
}

using Headers = std::vector<ElfW(Shdr)>;
INSTANTIATE_TEST_SUITE_P(
    Corruptions, InfoPlistImageTest,
    ::testing::Values(
        ImageCase{"BadMagic", [](ElfW(Ehdr) & h, Headers&) { h.e_ident[EI_MAG1] = 'X'; },
                  IdentityProblem::malformedExecutable},
        ImageCase{"ForeignClass",
                  [](ElfW(Ehdr) & h, Headers&) {
                    h.e_ident[EI_CLASS] =
                        h.e_ident[EI_CLASS] == ELFCLASS64 ? ELFCLASS32 : ELFCLASS64;
                  },
                  IdentityProblem::malformedExecutable},
        ImageCase{"SectionTableOutside", [](ElfW(Ehdr) & h, Headers&) { h.e_shoff = ~0ULL - 8; },
                  IdentityProblem::malformedExecutable},
        ImageCase{"NameTableIndexOutside",
                  [](ElfW(Ehdr) & h, Headers&) { h.e_shstrndx = h.e_shnum; },
                  IdentityProblem::malformedExecutable},
        ImageCase{"NoSections", [](ElfW(Ehdr) & h, Headers&) { h.e_shnum = 0; },
                  IdentityProblem::missingInfoPlist},
        ImageCase{"NameOutsideTable", [](ElfW(Ehdr) &, Headers& s) { s[1].sh_name = 1u << 30; },
                  IdentityProblem::missingInfoPlist},
        ImageCase{"ContentsOutside", [](ElfW(Ehdr) &, Headers& s) { s[1].sh_offset = 1u << 30; },
                  IdentityProblem::malformedExecutable},
        ImageCase{"ContentsPastEnd", [](ElfW(Ehdr) &, Headers& s) { s[1].sh_size += 4096; },
                  IdentityProblem::malformedExecutable},
        ImageCase{"HugeContents", [](ElfW(Ehdr) &, Headers& s) { s[1].sh_size = ~0ULL; },
                  IdentityProblem::malformedInfoPlist},
        ImageCase{"NoBits", [](ElfW(Ehdr) &, Headers& s) { s[1].sh_type = SHT_NOBITS; },
                  IdentityProblem::malformedExecutable},
        ImageCase{"HugeNameTable", [](ElfW(Ehdr) &, Headers& s) { s.back().sh_size = ~0ULL; },
                  IdentityProblem::malformedExecutable}),
    [](const auto& row) { return row.param.name; });

TEST(InfoPlistTest, RefusesTruncatedImage) {
  auto image = ElfImage{{{"__info_plist", std::string(clientPlist)}}}.build();
  for (const std::size_t size : {std::size_t{0}, std::size_t{10}, image.size() - 1}) {
    image.resize(size);
    ASSERT_FALSE(infoPlistOfImage(image).has_value()) << size;
  }
}

struct PlistCase {
  std::string name;
  std::string xml;
  IdentityProblem problem;
};

class BundleIdentifierTest : public ::testing::TestWithParam<PlistCase> {};

TEST_P(BundleIdentifierTest, RefusesPlistWithoutIdentifier) {
  const auto identifier = bundleIdentifierOf(GetParam().xml);
  ASSERT_FALSE(identifier.has_value()) << *identifier;
  EXPECT_EQ(identifier.error().problem, GetParam().problem);
}

std::string inPlist(std::string_view body) {
  return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + std::string(body) + "</plist>";
}

std::string nested(int depth) {
  std::string xml;
  for (int i = 0; i < depth; ++i) xml += "<array>";
  for (int i = 0; i < depth; ++i) xml += "</array>";
  return xml;
}

INSTANTIATE_TEST_SUITE_P(
    Plists, BundleIdentifierTest,
    ::testing::Values(
        PlistCase{"Empty", "", IdentityProblem::malformedInfoPlist},
        PlistCase{"NotXml", "CFBundleIdentifier com.kelmarind.app",
                  IdentityProblem::malformedInfoPlist},
        PlistCase{"Truncated", std::string(clientPlist.substr(0, 200)),
                  IdentityProblem::malformedInfoPlist},
        PlistCase{"TopIsArray", inPlist("<array><string>com.kelmarind.app</string></array>"),
                  IdentityProblem::malformedInfoPlist},
        PlistCase{"NoKey", inPlist("<dict><key>CFBundleName</key><string>x</string></dict>"),
                  IdentityProblem::missingIdentifier},
        PlistCase{"NotText",
                  inPlist("<dict><key>CFBundleIdentifier</key><integer>1</integer></dict>"),
                  IdentityProblem::missingIdentifier},
        PlistCase{"EmptyText", inPlist("<dict><key>CFBundleIdentifier</key><string/></dict>"),
                  IdentityProblem::missingIdentifier},
        PlistCase{"OnlyNested",
                  inPlist("<dict><key>a</key><dict><key>CFBundleIdentifier</key>"
                          "<string>com.kelmarind.app</string></dict></dict>"),
                  IdentityProblem::missingIdentifier},
        PlistCase{"TooDeep", inPlist("<dict><key>a</key>" + nested(maxInfoPlistDepth) + "</dict>"),
                  IdentityProblem::malformedInfoPlist},
        PlistCase{"TooLarge", std::string(clientPlist) + std::string(maxInfoPlistSize, ' '),
                  IdentityProblem::malformedInfoPlist}),
    [](const auto& row) { return row.param.name; });

TEST(BundleIdentifierTest, DecodesEntitiesAndAllowsModestNesting) {
  const std::string xml = inPlist("<dict><key>deep</key>" + nested(maxInfoPlistDepth - 3) +
                                  "<key>CFBundleIdentifier</key><string>a&amp;b</string></dict>");
  EXPECT_EQ(bundleIdentifierOf(xml), "a&b");
}

}  // namespace
}  // namespace kelmarind::platform::linux
