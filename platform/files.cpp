// Files and handles on POSIX file descriptors.
#include "platform/files.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/detail.h"
#include "platform/errors.h"

namespace {

struct FileObject : tw_platform::KernelObject {
  int fd = -1;
  bool close() override {
    if (fd < 0) return true;
    int rc = ::close(fd);
    fd = -1;
    if (rc != 0) {
      SetLastError(tw_platform::win32FromErrno(errno));
      return false;
    }
    return true;
  }
  ~FileObject() override { close(); }
};

FileObject* asFile(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<FileObject*>(static_cast<tw_platform::KernelObject*>(h));
}

void setErrno() { SetLastError(tw_platform::win32FromErrno(errno)); }

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creation, DWORD, HANDLE) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Never blocks at the open: a FIFO or device planted at the name must not
  // hang the caller. Cleared again once the object is accepted.
  int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  bool rd = (access & GENERIC_READ) != 0;
  bool wr = (access & GENERIC_WRITE) != 0;
  flags |= (rd && wr) ? O_RDWR : (wr ? O_WRONLY : O_RDONLY);
  bool truncate = false;
  switch (creation) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT; truncate = true; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!wr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      truncate = true;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  // Find out whether the file existed, for the 183 that CREATE_ALWAYS and
  // OPEN_ALWAYS report, without following a link.
  struct stat before;
  bool existed = ::lstat(name, &before) == 0;

  int fd = ::open(name, flags, 0600);
  if (fd < 0) {
    int err = errno;
    if (err == ENXIO) {
      SetLastError(ERROR_ACCESS_DENIED);  // a FIFO or device without a reader
    } else if (err == EEXIST && creation == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
    } else if (err == ENOENT && creation != OPEN_EXISTING && creation != TRUNCATE_EXISTING) {
      SetLastError(ERROR_PATH_NOT_FOUND);  // only a missing folder stops a create
    } else if (err == ENOENT) {
      // A missing folder on the way reads as "path not found", as on Windows.
      std::string dir(name);
      size_t slash = dir.rfind('/');
      struct stat st;
      bool dirMissing = slash != std::string::npos && slash > 0 &&
                        ::stat(dir.substr(0, slash).c_str(), &st) != 0;
      SetLastError(dirMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    } else {
      SetLastError(tw_platform::win32FromErrno(err));
    }
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  // What is written must be a regular file of the caller's own: another
  // user's file, FIFO or device at the name is refused before any byte goes
  // to it.
  const bool refused = ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
                       (wr && (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid())) ||
                       ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0;
  if (refused) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int lockOp = (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (::flock(fd, lockOp) != 0) {
    ::close(fd);
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  if (truncate && st.st_size > 0 && ::ftruncate(fd, 0) != 0) {
    setErrno();
    ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  auto* obj = new FileObject;
  obj->fd = fd;
  SetLastError(existed && (creation == CREATE_ALWAYS || creation == OPEN_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return static_cast<tw_platform::KernelObject*>(obj);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  if (read) *read = 0;
  FileObject* f = asFile(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ssize_t n;
  do {
    n = ::read(f->fd, buffer, toRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    setErrno();
    return FALSE;
  }
  if (read) *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  if (written) *written = 0;
  FileObject* f = asFile(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* p = static_cast<const char*>(buffer);
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::write(f->fd, p + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      setErrno();
      if (written) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
  FileObject* f = asFile(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t off = distanceHigh ? ((static_cast<int64_t>(*distanceHigh) << 32) |
                                static_cast<uint32_t>(distance))
                             : static_cast<int64_t>(distance);
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  if (method > FILE_END) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  off_t pos = ::lseek(f->fd, off, whence);
  if (pos < 0) {
    SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : tw_platform::win32FromErrno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(pos & 0xFFFFFFFF);
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  FileObject* f = asFile(file);
  struct stat st;
  if (!f || info == nullptr || ::fstat(f->fd, &st) != 0) {
    SetLastError(!f ? ERROR_INVALID_HANDLE : info == nullptr ? ERROR_INVALID_PARAMETER
                                                             : tw_platform::win32FromErrno(errno));
    return FALSE;
  }
  info->dwFileAttributes = S_ISDIR(st.st_mode)   ? FILE_ATTRIBUTE_DIRECTORY
                           : S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_NORMAL
                                                 : FILE_ATTRIBUTE_DEVICE;
  // The device number folded into the 32 bits of a volume serial number.
  const uint64_t dev = static_cast<uint64_t>(st.st_dev);
  info->dwVolumeSerialNumber = static_cast<DWORD>(dev ^ (dev >> 32));
  const uint64_t ino = static_cast<uint64_t>(st.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(ino >> 32);
  info->nFileIndexLow = static_cast<DWORD>(ino & 0xFFFFFFFF);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  FileObject* f = asFile(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  off_t pos = ::lseek(f->fd, 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(f->fd, pos) != 0) {
    setErrno();
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  FileObject* f = asFile(file);
  struct stat st;
  if (!f || ::fstat(f->fd, &st) != 0) {
    SetLastError(f ? tw_platform::win32FromErrno(errno) : ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size & 0xFFFFFFFF);
}

BOOL DeleteFileA(LPCSTR name) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat st;
  if (::lstat(name, &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlink(name) != 0) {
    setErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL CloseHandle(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* obj = static_cast<tw_platform::KernelObject*>(h);
  bool ok = obj->close();
  delete obj;
  return ok ? TRUE : FALSE;
}

DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env && env[0]) ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  if (buffer == nullptr || dir.size() + 1 > bufferLength) {
    return static_cast<DWORD>(dir.size() + 1);
  }
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<DWORD>(dir.size());
}

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

DWORD GetProcessId(HANDLE process) {
  if (process != INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(::getpid());
}

namespace tw_platform {
bool keepProcessPrivate() {
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0) return true;
  setErrno();
  return false;
}

void reuseFreedBuffers() {
  ::mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
  ::mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
}

std::string executablePath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}
}  // namespace tw_platform

namespace {
bool modulePath(HMODULE module, std::string& path) {
  if (module != nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  path = tw_platform::executablePath();
  if (path.empty()) {
    setErrno();
    return false;
  }
  return true;
}
}  // namespace

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  std::string path;
  if (!modulePath(module, path)) return 0;
  std::u16string wide = tw_platform::utf8ToUtf16(path);
  if (size == 0 || buffer == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() + 1 > size) {
    std::memcpy(buffer, wide.data(), (size - 1) * sizeof(WCHAR));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}
