// The file services behind the script-visible names: the writer's stream, the copy and the two
// checks. Paths and text are UTF-8 byte ranges taken straight from Ruby Strings.
//
// This header is the binding's door and follows ruby.h there, so it includes nothing and names
// nothing that Ruby's Windows headers define as a macro (close, write, stat...). No function
// throws; those that allocate report exhausted memory so the binding can raise Ruby's own error.
#ifndef KALVERA_FILE_SERVICES_H
#define KALVERA_FILE_SERVICES_H

namespace kalvera {

// outcomeNoDescriptors is a false that a garbage collection may mend: the process ran out of
// file descriptors, and dropped writers may still hold some.
enum Outcome { outcomeFalse, outcomeTrue, outcomeNoMemory, outcomeNoDescriptors };

// A writer's native record: the slot for its output file stream.
struct StreamHolder;

// Opens the file at path for output, creating it or emptying it, and answers whether it opened.
// Unless memory ran out, *holder receives a new holder, whose stream is in failed state if the
// path was refused (a NUL byte in it included) or the open failed. A stream still open when the
// process exits normally is flushed and closed then, whether or not its writer was ever freed.
Outcome streamOpen(const char* path, unsigned long pathLength, StreamHolder** holder);

// Writes the bytes; as a line, a "\n" follows unless the bytes already end with one.
// Answers whether the stream is still good. A null holder is a closed writer.
bool streamWrite(StreamHolder* holder, const char* bytes, unsigned long length, bool asLine);

// Whether the holder's stream is good (none of failed, bad, end of file).
bool streamGood(const StreamHolder* holder);

// Flushes and closes the file and destroys the holder. Answers false when bytes were lost: an
// earlier write failed, or this final flush or the close did. A holder whose open failed, or
// none, answers true, and so does one whose stream the exit already closed.
bool streamFinish(StreamHolder* holder);

// Copies source to destination unless destination exists; the result is only for tests.
Outcome copyWithoutOverwrite(const char* source, unsigned long sourceLength, const char* destination,
                             unsigned long destinationLength);

// Whether the file exists and opens for update ("r+"), creating and changing nothing.
Outcome opensForUpdate(const char* path, unsigned long pathLength);

// Whether the file or directory at path may be written.
Outcome writeAccess(const char* path, unsigned long pathLength);

}  // namespace kalvera

#endif
