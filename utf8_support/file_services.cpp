#include "file_services.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>

#include "os.h"
#include "utf8_path.h"

namespace kalvera {

struct StreamHolder {
  // A 256 KiB buffer, set before open: a stream of short lines reaches the file in few large
  // writes (64 KiB cost 15% more on a million 60-byte lines, 1 MiB gained nothing more).
  static const std::size_t kBufferSize = 256 * 1024;

  // Declared first so it outlives the stream, whose destructor may still flush into the file.
  std::unique_ptr<char[]> buffer{new char[kBufferSize]};
  // A member: one allocation and one indirection fewer than behind a pointer.
  std::ofstream stream;

  // Links in the list of open streams that the exit handler finishes (see finishAtExit).
  StreamHolder* previous = nullptr;
  StreamHolder* next = nullptr;
  bool listed = false;
};

namespace {

// The streams still open. A host may end the process without finalizing the interpreter, so no
// writer is ever freed and buffered lines would be lost: the exit handler flushes and closes
// what is listed here. A plain pointer, so no destructor can run before the handler does (a
// static container might be destroyed first). Ruby calls in here one thread at a time.
StreamHolder* openStreams = nullptr;

void list(StreamHolder* holder) {
  holder->next = openStreams;
  if (openStreams != nullptr) openStreams->previous = holder;
  openStreams = holder;
  holder->listed = true;
}

void unlist(StreamHolder* holder) {
  if (!holder->listed) return;
  if (holder->previous != nullptr) holder->previous->next = holder->next;
  else openStreams = holder->next;
  if (holder->next != nullptr) holder->next->previous = holder->previous;
  holder->previous = holder->next = nullptr;
  holder->listed = false;
}

// Runs at exit (on Windows when the DLL detaches) and touches no Ruby object: the interpreter
// may be half gone. Holders are closed, not deleted: a writer freed later (an interpreter
// finalized after this) still owns its holder, and streamFinish then finds it closed and
// unlisted. Writers freed before this ran are no longer listed.
void finishAtExit() {
  while (StreamHolder* holder = openStreams) {
    unlist(holder);
    try {
      holder->stream.rdbuf()->close();
      // A later write must answer false: its bytes could never reach the file.
      holder->stream.setstate(std::ios::badbit);
    } catch (...) {
      // Nothing may leave an exit handler; the other streams still get their turn.
    }
  }
}

void listOpened(StreamHolder* holder) {
  static bool registered = false;
  if (!registered) registered = std::atexit(finishAtExit) == 0;
  list(holder);
}

// A NUL byte would end the path early at the platform and name another file: refuse it.
bool acceptablePath(const char* path, unsigned long length) {
  return length > 0 && std::memchr(path, '\0', length) == nullptr;
}

// Short writes copied straight into the file buffer's free space, as the inline sputc does one
// character at a time: a line then costs one copy instead of sputn's two virtual calls and copy
// loop, about 15% of the time of a million 60-byte puts. Taken only where sputn would buffer as
// well: from 1 KiB up, libstdc++'s sputn writes through at once and must report a failure at once.
// The put area is protected; a pointer to a member, formed in a derived class, reaches it.
struct PutArea : std::streambuf {
  static const unsigned long kWriteThrough = 1024;

  static bool append(std::filebuf& file, const char* bytes, unsigned long length, bool newline) {
    if (length >= kWriteThrough) return false;
    char* next = (file.*&PutArea::pptr)();
    // More room than the bytes, so the newline fits too. Before the first write there is no put
    // area yet: sputn sets it up.
    if ((file.*&PutArea::epptr)() - next <= static_cast<std::ptrdiff_t>(length)) return false;
    std::memcpy(next, bytes, length);
    if (newline) next[length] = '\n';
    (file.*&PutArea::pbump)(static_cast<int>(length) + (newline ? 1 : 0));
    return true;
  }
};

// Keeps C++ exceptions from reaching the interpreter, which unwinds with longjmp, and tells a
// failure for want of descriptors from the others.
template <typename Operation>
Outcome guarded(Operation operation) {
  try {
    errno = 0;
    if (operation()) return outcomeTrue;
    return errno == EMFILE || errno == ENFILE ? outcomeNoDescriptors : outcomeFalse;
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
    std::ofstream& stream = made->stream;
    stream.rdbuf()->pubsetbuf(made->buffer.get(), StreamHolder::kBufferSize);
    if (acceptablePath(path, pathLength)) {
      stream.open(os::streamPath(utf8ToWide(path, pathLength)), std::ios::out | std::ios::trunc);
    } else {
      stream.setstate(std::ios::failbit);
    }
    *holder = made.release();
    if (!(*holder)->stream.is_open()) return false;
    listOpened(*holder);
    return true;
  });
}

bool streamWrite(StreamHolder* holder, const char* bytes, unsigned long length, bool asLine) {
  if (holder == nullptr) return false;
  std::ofstream& stream = holder->stream;
  const bool newline = asLine && (length == 0 || bytes[length - 1] != '\n');
  // Once the stream is bad its buffer is never touched again (libstdc++'s may misbehave after a
  // failed overflow); a refused call marks failbit, as write()'s sentry would.
  if (!stream.good()) {
    stream.setstate(std::ios::failbit);
    return false;
  }
  std::filebuf& file = *stream.rdbuf();
  if (PutArea::append(file, bytes, length, newline)) return true;
  // What write() then put() do, without their two sentries.
  try {
    const std::streamsize size = static_cast<std::streamsize>(length);
    if (file.sputn(bytes, size) != size) {
      stream.setstate(newline ? std::ios::badbit | std::ios::failbit : std::ios::badbit);
      return false;
    }
    if (newline && file.sputc('\n') == std::filebuf::traits_type::eof()) {
      stream.setstate(std::ios::badbit);
      return false;
    }
  } catch (...) {
    // ostream::write would have caught it the same way; nothing may unwind into Ruby.
    stream.setstate(std::ios::badbit);
    return false;
  }
  return true;
}

bool streamGood(const StreamHolder* holder) {
  return holder != nullptr && holder->stream.good();
}

bool streamFinish(StreamHolder* holder) {
  if (holder == nullptr) return true;
  unlist(holder);
  bool finished = true;
  if (holder->stream.is_open()) {
    std::filebuf* file = holder->stream.rdbuf();
    // Sync even a bad stream, as closing would: bytes still buffered get their chance. A bad
    // stream lost bytes already, and close must not hide that.
    finished = file->pubsync() == 0 && !holder->stream.bad();
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
