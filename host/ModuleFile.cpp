#include "host/ModuleFile.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "host/EffectInterface.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <elf.h>
#endif

namespace fm::host {

namespace fs = std::filesystem;

#if defined(_WIN32)

bool readPropertyListBytes(const std::string& path, std::vector<unsigned char>* bytes,
                           std::string* error) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, path.data(), int(path.size()), nullptr, 0);
  std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, path.data(), int(path.size()), &wide[0], n);
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) {
    *error = path + " is not a module";
    return false;
  }
  HRSRC resource =
      FindResourceExW(module, L"" PF_PropertyList_ResourceType,
                      MAKEINTRESOURCEW(PF_PropertyList_ResourceId), PF_PropertyList_Language);
  HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = resource ? SizeofResource(module, resource) : 0;
  if (data && size)
    bytes->assign(static_cast<const unsigned char*>(data),
                  static_cast<const unsigned char*>(data) + size);
  FreeLibrary(module);
  if (!data || !size) *error = path + " carries no property list";
  return data && size;
}

#else

namespace {

bool readWholeFile(const std::string& path, std::vector<unsigned char>* out, std::string* error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    *error = fs::exists(path, ec) ? path + " is not a module" : path + " does not exist";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

// Whether [offset, offset + size) lies within a file of fileSize bytes.
bool within(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

}  // namespace

bool readPropertyListBytes(const std::string& path, std::vector<unsigned char>* bytes,
                           std::string* error) {
  std::vector<unsigned char> file;
  if (!readWholeFile(path, &file, error)) return false;
  const std::string notModule = path + " is not a module";
  Elf64_Ehdr header;
  if (file.size() < sizeof(header) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
    *error = notModule;
    return false;
  }
  std::memcpy(&header, file.data(), sizeof(header));
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
    *error = notModule + " for this machine (64-bit little-endian)";
    return false;
  }
  if (header.e_type != ET_DYN) {
    *error = notModule + " (not a shared library)";
    return false;
  }

  const uint64_t fileSize = file.size();
  const auto sectionAt = [&](uint64_t i, Elf64_Shdr* out) {
    const uint64_t at = header.e_shoff + i * sizeof(Elf64_Shdr);
    if (!within(at, sizeof(Elf64_Shdr), fileSize)) return false;
    std::memcpy(out, file.data() + at, sizeof(Elf64_Shdr));
    return true;
  };
  Elf64_Shdr first;
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(Elf64_Shdr) || !sectionAt(0, &first)) {
    *error = notModule + " (no section table)";
    return false;
  }
  // Large section counts and indices live in the first section header.
  const uint64_t count = header.e_shnum ? header.e_shnum : first.sh_size;
  const uint64_t namesIndex = header.e_shstrndx == SHN_XINDEX ? first.sh_link : header.e_shstrndx;
  Elf64_Shdr names;
  if (count > fileSize / sizeof(Elf64_Shdr) || namesIndex >= count ||
      !sectionAt(namesIndex, &names) || !within(names.sh_offset, names.sh_size, fileSize)) {
    *error = notModule + " (damaged section table)";
    return false;
  }

  const char* wanted = PF_PropertyList_Section;
  const size_t wantedSize = std::strlen(wanted) + 1;
  for (uint64_t i = 0; i < count; ++i) {
    Elf64_Shdr section;
    if (!sectionAt(i, &section)) break;
    if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < wantedSize ||
        std::memcmp(file.data() + names.sh_offset + section.sh_name, wanted, wantedSize) != 0) {
      continue;
    }
    if (section.sh_type == SHT_NOBITS || !within(section.sh_offset, section.sh_size, fileSize)) {
      break;
    }
    const unsigned char* data = file.data() + section.sh_offset;
    bytes->assign(data, data + section.sh_size);
    return true;
  }
  *error = path + " carries no property list";
  return false;
}

#endif

bool PrivateCopy::make(const std::string& path, std::string* error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    *error = fs::exists(path, ec) ? path + " is not a module" : path + " does not exist";
    return false;
  }
  const fs::path temp = fs::temp_directory_path(ec);
  if (ec) {
    *error = "no temporary folder for a copy of " + path;
    return false;
  }
  static std::atomic<unsigned> serial{0};
  std::random_device entropy;
  for (int attempt = 0; attempt < 16 && folder_.empty(); ++attempt) {
    const fs::path folder =
        temp / ("fogmill-host-" + std::to_string(entropy()) + "-" + std::to_string(++serial));
    if (fs::create_directory(folder, ec) && !ec) folder_ = folder.string();
  }
  if (folder_.empty()) {
    *error = "cannot make a temporary folder in " + temp.string();
    return false;
  }
  const fs::path copy = fs::path(folder_) / fs::path(path).filename();
  if (!fs::copy_file(path, copy, ec) || ec) {
    *error = "cannot copy " + path + " to " + copy.string() + ": " + ec.message();
    return false;
  }
  path_ = copy.string();
  return true;
}

PrivateCopy::~PrivateCopy() {
  if (folder_.empty()) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

}  // namespace fm::host
