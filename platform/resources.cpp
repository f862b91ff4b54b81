// Reading resource sections from ELF files, and the version block layout.
#include "platform/resources.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/detail.h"
#include "platform/errors.h"

namespace tw_platform {

namespace {

bool readAt(int fd, uint64_t offset, void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, static_cast<char*>(buf) + done, len - done,
                        static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool readResourceSection(const std::string& path, const char* section, std::vector<BYTE>& data) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) {
    SetLastError(win32FromErrno(errno));
    return false;
  }
  struct stat st;
  if (::fstat(f.fd, &st) != 0) {
    SetLastError(win32FromErrno(errno));
    return false;
  }
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  Elf64_Ehdr eh;
  if (fileSize < sizeof eh || !readAt(f.fd, 0, &eh, sizeof eh) ||
      std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
      eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum ||
      eh.e_shoff > fileSize || eh.e_shnum > (fileSize - eh.e_shoff) / sizeof(Elf64_Shdr)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  std::vector<Elf64_Shdr> sh(eh.e_shnum);
  if (!readAt(f.fd, eh.e_shoff, sh.data(), sh.size() * sizeof(Elf64_Shdr))) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  const Elf64_Shdr& strtab = sh[eh.e_shstrndx];
  if (strtab.sh_offset > fileSize || strtab.sh_size > fileSize - strtab.sh_offset) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  std::vector<char> names(strtab.sh_size + 1, '\0');
  if (!readAt(f.fd, strtab.sh_offset, names.data(), strtab.sh_size)) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return false;
  }
  for (const Elf64_Shdr& s : sh) {
    if (s.sh_name >= strtab.sh_size || std::strcmp(&names[s.sh_name], section) != 0) continue;
    if (s.sh_type == SHT_NOBITS || s.sh_offset > fileSize || s.sh_size > fileSize - s.sh_offset) {
      break;
    }
    data.assign(s.sh_size, 0);
    if (!readAt(f.fd, s.sh_offset, data.data(), data.size())) {
      SetLastError(win32FromErrno(errno));
      return false;
    }
    return true;
  }
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return false;
}

namespace {

void put16(std::vector<BYTE>& out, uint16_t v) {
  out.push_back(static_cast<BYTE>(v & 0xFF));
  out.push_back(static_cast<BYTE>(v >> 8));
}

void pad32(std::vector<BYTE>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void appendNode(std::vector<BYTE>& out, const VersionNode& node) {
  pad32(out);
  const size_t start = out.size();
  put16(out, 0);  // wLength, patched below
  if (node.text) {
    put16(out, node.textValue.empty() && node.children.size() > 0
                   ? 0
                   : static_cast<uint16_t>(node.textValue.size() + 1));
  } else {
    put16(out, static_cast<uint16_t>(node.binaryValue.size()));
  }
  put16(out, node.text ? 1 : 0);
  for (char16_t c : node.key) put16(out, c);
  put16(out, 0);
  pad32(out);
  if (node.text) {
    if (!(node.textValue.empty() && node.children.size() > 0)) {
      for (char16_t c : node.textValue) put16(out, c);
      put16(out, 0);
    }
  } else {
    out.insert(out.end(), node.binaryValue.begin(), node.binaryValue.end());
  }
  for (const VersionNode& child : node.children) appendNode(out, child);
  const size_t len = out.size() - start;
  out[start] = static_cast<BYTE>(len & 0xFF);
  out[start + 1] = static_cast<BYTE>(len >> 8);
}

}  // namespace

std::vector<BYTE> serializeVersionNode(const VersionNode& node) {
  std::vector<BYTE> out;
  appendNode(out, node);
  return out;
}

}  // namespace tw_platform
