#include "check/program_file.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "host/text_encoding.h"

namespace melvix {

namespace {

// The file's bytes, read as the PE format lays them out: little-endian, every read bounds-checked,
// as a damaged or foreign file must give "not a Windows program", never a crash.
class Bytes {
 public:
  explicit Bytes(const std::string& bytes) : bytes_(bytes) {}
  bool Has(std::size_t at, std::size_t n) const {
    return at <= bytes_.size() && n <= bytes_.size() - at;
  }
  unsigned U16(std::size_t at) const {
    if (!Has(at, 2)) return 0;
    return Byte(at) | Byte(at + 1) << 8;
  }
  std::uint32_t U32(std::size_t at) const {
    if (!Has(at, 4)) return 0;
    return static_cast<std::uint32_t>(U16(at)) | static_cast<std::uint32_t>(U16(at + 2)) << 16;
  }
  // UTF-16 units from `at` up to a NUL or `end`, as UTF-8; `next` is past the NUL.
  std::string Text(std::size_t at, std::size_t end, std::size_t& next) const {
    WideString units;
    next = end;
    for (std::size_t p = at; p + 2 <= end && Has(p, 2); p += 2) {
      const auto unit = static_cast<char16_t>(U16(p));
      if (unit == 0) {
        next = p + 2;
        break;
      }
      units.push_back(unit);
    }
    return wideToUtf8(units);
  }

 private:
  unsigned Byte(std::size_t at) const { return static_cast<unsigned char>(bytes_[at]); }
  const std::string& bytes_;
};

constexpr std::size_t align4(std::size_t at) { return (at + 3) & ~std::size_t{3}; }

// The file offset of a relative virtual address, through the section that holds it.
std::optional<std::size_t> fileOffset(const Bytes& b, std::size_t sections, unsigned count,
                                      std::uint32_t rva) {
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t header = sections + 40 * i;
    const std::uint32_t start = b.U32(header + 12);
    const std::uint32_t size = b.U32(header + 16);
    if (rva >= start && rva - start < size) return b.U32(header + 20) + (rva - start);
  }
  return std::nullopt;
}

// One block of a VS_VERSIONINFO tree: wLength, wValueLength, wType, its key, then its value and
// its children, each at a 32-bit boundary.
struct Block {
  std::string key;
  std::size_t value = 0;
  std::size_t valueEnd = 0;
  std::size_t children = 0;
  std::size_t end = 0;
};

std::optional<Block> readBlock(const Bytes& b, std::size_t origin, std::size_t at,
                               std::size_t limit) {
  const std::size_t length = b.U16(at);
  if (length < 6 || at + length > limit) return std::nullopt;
  Block block;
  block.end = at + length;
  std::size_t next = 0;
  block.key = b.Text(at + 6, block.end, next);
  block.value = origin + align4(next - origin);
  // A text value's length is counted in UTF-16 units (wType 1), any other in bytes.
  const std::size_t valueLength = b.U16(at + 2) * (b.U16(at + 4) == 1 ? 2u : 1u);
  block.valueEnd = std::min(block.end, block.value + valueLength);
  block.children = origin + align4(block.valueEnd - origin);
  return block;
}

// FileVersion and ProductVersion of the first string table of StringFileInfo.
void readVersion(const Bytes& b, std::size_t at, std::size_t size, ProgramFile& program) {
  const auto root = readBlock(b, at, at, at + size);
  if (!root || root->key != "VS_VERSION_INFO") return;
  for (auto info = readBlock(b, at, root->children, root->end); info;
       info = readBlock(b, at, align4(info->end - at) + at, root->end)) {
    if (info->key != "StringFileInfo") continue;
    const auto table = readBlock(b, at, info->children, info->end);
    if (!table) return;
    for (auto value = readBlock(b, at, table->children, table->end); value;
         value = readBlock(b, at, align4(value->end - at) + at, table->end)) {
      std::size_t next = 0;
      if (value->key == "FileVersion") program.fileVersion = b.Text(value->value, value->end, next);
      if (value->key == "ProductVersion") {
        program.productVersion = b.Text(value->value, value->end, next);
      }
    }
    return;
  }
}

// The first entry of a resource directory with that id (any: the first of all); its offset from
// the resource section's start, and whether it is a directory.
std::optional<std::uint32_t> entry(const Bytes& b, std::size_t base, std::uint32_t directory,
                                   std::optional<unsigned> id) {
  const std::size_t at = base + directory;
  const unsigned count = b.U16(at + 12) + b.U16(at + 14);
  for (unsigned i = 0; i < count && b.Has(at + 16 + 8 * i, 8); ++i) {
    const std::uint32_t name = b.U32(at + 16 + 8 * i);
    if (!id || name == *id) return b.U32(at + 20 + 8 * i);
  }
  return std::nullopt;
}

constexpr std::uint32_t kSubdirectory = 0x80000000u;
constexpr unsigned kVersionResource = 16;  // RT_VERSION

}  // namespace

ProgramFile readProgram(const std::string& bytes) {
  ProgramFile program;
  const Bytes b(bytes);
  if (!b.Has(0, 0x40) || bytes.compare(0, 2, "MZ") != 0) return program;
  const std::size_t pe = b.U32(0x3C);
  if (!b.Has(pe, 24) || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return program;
  const std::size_t coff = pe + 4;
  switch (b.U16(coff)) {
    case 0x14C:
      program.machine = Machine::kX86;
      break;
    case 0x8664:
      program.machine = Machine::kX64;
      break;
    case 0xAA64:
      program.machine = Machine::kArm64;
      break;
    default:
      program.machine = Machine::kOther;
  }
  const unsigned sectionCount = b.U16(coff + 2);
  const std::size_t optional = coff + 20;
  const std::size_t sections = optional + b.U16(coff + 16);
  // PE32 and PE32+ place the data directories differently; the resources are the third.
  const unsigned magic = b.U16(optional);
  if (magic != 0x10B && magic != 0x20B) return program;
  const std::size_t directories = optional + (magic == 0x10B ? 92 : 108);
  if (b.U32(directories) < 3) return program;
  const std::uint32_t resourceRva = b.U32(directories + 4 + 2 * 8);
  const auto base = fileOffset(b, sections, sectionCount, resourceRva);
  if (resourceRva == 0 || !base) return program;
  // Type, then name, then language: the version resource of the first name and language.
  std::optional<std::uint32_t> at = entry(b, *base, 0, kVersionResource);
  for (int level = 0; level < 2 && at && (*at & kSubdirectory) != 0; ++level) {
    at = entry(b, *base, *at & ~kSubdirectory, std::nullopt);
  }
  if (!at || (*at & kSubdirectory) != 0) return program;
  const auto data = fileOffset(b, sections, sectionCount, b.U32(*base + *at));
  const std::size_t size = b.U32(*base + *at + 4);
  if (data && b.Has(*data, size)) readVersion(b, *data, size, program);
  return program;
}

std::optional<ProgramFile> readProgramFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return readProgram(bytes);
}

const char* machineText(Machine machine) {
  switch (machine) {
    case Machine::kX86:
      return "32-bit x86";
    case Machine::kX64:
      return "x86-64";
    case Machine::kArm64:
      return "ARM64";
    case Machine::kOther:
      return "another processor";
    case Machine::kNone:
      break;
  }
  return "not a Windows program";
}

unsigned machineBits(Machine machine) {
  switch (machine) {
    case Machine::kX86:
      return 32;
    case Machine::kX64:
    case Machine::kArm64:
      return 64;
    case Machine::kOther:
    case Machine::kNone:
      break;
  }
  return 0;
}

}  // namespace melvix
