#include "file_services.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <new>

#include "os.h"
#include "utf8_path.h"

namespace kalvera {

struct StreamHolder {
  // Larger than the library's default so a stream of short lines costs few system calls.
  static const std::size_t kBufferSize = 64 * 1024;

  std::unique_ptr<char[]> buffer;
  std::unique_ptr<std::ofstream> stream;
};

namespace {

// A NUL byte would end the path early at the platform and name another file: refuse it.
bool acceptablePath(const char* path, unsigned long length) {
  return length > 0 && std::memchr(path, '\0', length) == nullptr;
}

// Keeps C++ exceptions from reaching the interpreter, which unwinds with longjmp.
template <typename Operation>
Outcome guarded(Operation operation) {
  try {
    return operation() ? outcomeTrue : outcomeFalse;
  } catch (const std::bad_alloc&) {
    return outcomeNoMemory;
  } catch (...) {
    return outcomeFalse;
  }
}

}  // namespace

Outcome streamOpen(const char* path, unsigned long pathLength, StreamHolder** holder) {
  *holder = nullptr;
  return guarded([&] {
    std::unique_ptr<StreamHolder> made(new StreamHolder);
    made->buffer.reset(new char[StreamHolder::kBufferSize]);
    made->stream.reset(new std::ofstream);
    std::ofstream& stream = *made->stream;
    stream.rdbuf()->pubsetbuf(made->buffer.get(), StreamHolder::kBufferSize);
    if (acceptablePath(path, pathLength)) {
      stream.open(os::streamPath(utf8ToWide(path, pathLength)), std::ios::out | std::ios::trunc);
    } else {
      stream.setstate(std::ios::failbit);
    }
    *holder = made.release();
    return true;
  });
}

bool streamWrite(StreamHolder* holder, const char* bytes, unsigned long length, bool asLine) {
  if (holder == nullptr || !holder->stream) return false;
  std::ofstream& stream = *holder->stream;
  stream.write(bytes, static_cast<std::streamsize>(length));
  if (asLine && (length == 0 || bytes[length - 1] != '\n')) stream.put('\n');
  return stream.good();
}

bool streamGood(const StreamHolder* holder) {
  return holder != nullptr && holder->stream && holder->stream->good();
}

bool streamFinish(StreamHolder* holder) {
  if (holder == nullptr) return true;
  bool finished = true;
  if (holder->stream && holder->stream->is_open()) {
    std::filebuf* file = holder->stream->rdbuf();
    // Sync the buffer even after a failed write: the stream refuses to flush once bad, but
    // bytes still buffered must get their chance, and their loss must be reported.
    finished = file->pubsync() == 0;
    finished = file->close() != nullptr && finished;
  }
  delete holder;
  return finished;
}

Outcome copyWithoutOverwrite(const char* source, unsigned long sourceLength, const char* destination,
                             unsigned long destinationLength) {
  if (!acceptablePath(source, sourceLength) || !acceptablePath(destination, destinationLength)) {
    return outcomeFalse;
  }
  return guarded([&] {
    return os::copyWithoutOverwrite(utf8ToWide(source, sourceLength), utf8ToWide(destination, destinationLength));
  });
}

Outcome opensForUpdate(const char* path, unsigned long pathLength) {
  if (!acceptablePath(path, pathLength)) return outcomeFalse;
  return guarded([&] { return os::opensForUpdate(utf8ToWide(path, pathLength)); });
}

Outcome writeAccess(const char* path, unsigned long pathLength) {
  if (!acceptablePath(path, pathLength)) return outcomeFalse;
  return guarded([&] { return os::writeAccess(utf8ToWide(path, pathLength)); });
}

}  // namespace kalvera
