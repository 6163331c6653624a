// The process-level platform operations the tool uses: the standard streams, process exit,
// random UUIDs, and memory for secrets. The binary links platform/process and platform/secure;
// the tool's unit tests link a fake of the process part (tests/fakes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Bytes that may be secret: kept in locked memory that is wiped when released, compared in
// constant time, and never turned into a std::string by the tool.
class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t size);  // zero-filled
  SecureBytes(const void* data, std::size_t size);
  explicit SecureBytes(std::string_view bytes) : SecureBytes(bytes.data(), bytes.size()) {}
  SecureBytes(const SecureBytes& other);
  SecureBytes(SecureBytes&& other) noexcept;
  SecureBytes& operator=(const SecureBytes& other);
  SecureBytes& operator=(SecureBytes&& other) noexcept;
  ~SecureBytes();

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_), size_}; }
  // Appends bytes, keeping everything in locked memory.
  void append(const void* data, std::size_t size);
  // Wipes and releases the bytes.
  void clear();

  friend bool operator==(const SecureBytes& a, const SecureBytes& b);

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// A platform error, as handed to callbacks; the tool never shows it.
struct NSError {
  long code = 0;
  std::string localizedDescription;
};

// Standard output and standard error. writeData hands all the bytes to the stream in one call
// and says whether every one of them got there: false when the stream is closed, full, or has
// no reader any more (it never raises SIGPIPE).
class NSFileHandle {
 public:
  static NSFileHandle fileHandleWithStandardOutput();
  static NSFileHandle fileHandleWithStandardError();
  bool writeData(std::string_view bytes) const;
  int fileDescriptor() const { return fd_; }

 private:
  explicit NSFileHandle(int fd) : fd_(fd) {}
  int fd_;
};

// Ends the process with the given status once all output has reached its stream.
[[noreturn]] void exitProcess(int status);

// A fresh random UUID in upper-case 8-4-4-4-12 text form, from a secure random source.
std::string newUUIDString();

// Start-up hardening: private file mode, not dumpable, no core files, SIGPIPE ignored, SIGXFSZ
// ignored (a file-size limit fails the write instead of killing the run), standard
// descriptors that were closed held by /dev/null (so no file opened later can take their
// number). False when a closed standard descriptor can't be held. Must run before any thread
// starts.
bool hardenProcess();

// Sets up the secure random source (and libsodium) once, before any thread starts; false when
// it can't be had. When the source fails later, `onFailure` is called to end the run; it must
// not return.
bool prepareRandomSource(void (*onFailure)());
