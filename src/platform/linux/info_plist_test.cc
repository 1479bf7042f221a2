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
  <key>CFBundleName</key> <string>kelmarind-scan</string>
  <key>CFBundleIdentifier</key> <string>com.kelmarind.app</string>
</dict>
</plist>
)";

using Corrupt = std::function<void(ElfW(Ehdr)&, ElfW(Shdr)*)>;

// A native ELF image: header, the plist, the name table, then three section
// headers (null, "__info_plist", ".shstrtab"), as `corrupt` leaves them.
std::vector<std::byte> elfImage(std::string_view plist, const Corrupt& corrupt = {}) {
  const std::string names("\0__info_plist\0.shstrtab\0", 24);
  ElfW(Ehdr) header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;
  header.e_ident[EI_DATA] = __BYTE_ORDER == __LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;
  header.e_shoff = sizeof header + plist.size() + names.size();
  header.e_shentsize = sizeof(ElfW(Shdr));
  header.e_shnum = 3;
  header.e_shstrndx = 2;
  ElfW(Shdr) sections[3]{};
  sections[1].sh_name = 1;
  sections[1].sh_type = SHT_PROGBITS;
  sections[1].sh_offset = sizeof header;
  sections[1].sh_size = plist.size();
  sections[2].sh_name = 14;
  sections[2].sh_type = SHT_STRTAB;
  sections[2].sh_offset = sizeof header + plist.size();
  sections[2].sh_size = names.size();
  if (corrupt) corrupt(header, sections);
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
  bytes.append(plist).append(names).append(reinterpret_cast<const char*>(sections),
                                           sizeof sections);
  const auto* first = reinterpret_cast<const std::byte*>(bytes.data());
  return {first, first + bytes.size()};
}

std::expected<std::string, IdentityError> identifierOf(const std::vector<std::byte>& image) {
  const auto plist = infoPlistOfImage(image);
  return plist ? bundleIdentifierOf(*plist) : plist;
}

TEST(InfoPlistTest, ReadsTheIdentifierAndRefusesMalformedImages) {
  EXPECT_EQ(identifierOf(elfImage(clientPlist)), "com.kelmarind.app");
  using enum IdentityProblem;
  const struct {
    const char* name;
    Corrupt corrupt;
    IdentityProblem problem;
  } rows[] = {
      {"magic", [](auto& h, auto*) { h.e_ident[EI_MAG1] = 'X'; }, malformedExecutable},
      {"table outside", [](auto& h, auto*) { h.e_shoff = ~0ULL - 8; }, malformedExecutable},
      {"names index", [](auto& h, auto*) { h.e_shstrndx = 3; }, malformedExecutable},
      {"no sections", [](auto& h, auto*) { h.e_shnum = 0; }, missingInfoPlist},
      {"name outside", [](auto&, auto* s) { s[1].sh_name = 1u << 30; }, missingInfoPlist},
      {"contents past end", [](auto&, auto* s) { s[1].sh_size += 4096; }, malformedExecutable},
      {"huge contents", [](auto&, auto* s) { s[1].sh_size = ~0ULL; }, malformedInfoPlist},
  };
  for (const auto& row : rows) {
    const auto identifier = identifierOf(elfImage(clientPlist, row.corrupt));
    ASSERT_FALSE(identifier.has_value()) << row.name;
    EXPECT_EQ(identifier.error().problem, row.problem) << row.name;
  }
}

std::string inPlist(std::string_view body) { return "<plist>" + std::string(body) + "</plist>"; }

std::string nested(int depth) {
  std::string xml;
  for (int i = 0; i < depth; ++i) xml.insert(0, "<array>").append("</array>");
  return xml;
}

TEST(InfoPlistTest, TakesOnlyATopLevelTextIdentifier) {
  const std::string key = "<key>CFBundleIdentifier</key>";
  EXPECT_EQ(bundleIdentifierOf(inPlist("<dict><key>a</key>" + nested(maxInfoPlistDepth - 3) + key +
                                       "<string>a&amp;b</string></dict>")),
            "a&b");
  using enum IdentityProblem;
  const struct {
    std::string xml;
    IdentityProblem problem;
  } rows[] = {
      {"", malformedInfoPlist},
      {inPlist("<array><string>com.kelmarind.app</string></array>"), malformedInfoPlist},
      {inPlist("<dict><key>CFBundleName</key><string>x</string></dict>"), missingIdentifier},
      {inPlist("<dict>" + key + "<integer>1</integer></dict>"), missingIdentifier},
      {inPlist("<dict><key>a</key>" + nested(maxInfoPlistDepth) + "</dict>"), malformedInfoPlist},
      {std::string(clientPlist) + std::string(maxInfoPlistSize, ' '), malformedInfoPlist},
  };
  for (const auto& row : rows) {
    const auto identifier = bundleIdentifierOf(row.xml);
    ASSERT_FALSE(identifier.has_value()) << row.xml;
    EXPECT_EQ(identifier.error().problem, row.problem) << row.xml.substr(0, 200);
  }
}

}  // namespace
}  // namespace kelmarind::platform::linux
