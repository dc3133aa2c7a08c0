// The Ruby binding: turns Ruby values into byte ranges for the file services and their answers
// into Ruby values. Written against the C API of Ruby 1.8.7, which the host embeds.
//
// Nothing after ruby.h may include a standard stream header or name close, write, stat...:
// Ruby's Windows headers define those as function-like macros.
#include <ruby.h>

#include "file_services.h"

#ifndef RUBY_METHOD_FUNC
#define RUBY_METHOD_FUNC(func) ((VALUE(*)(ANYARGS))(func))
#endif

using kalvera::Outcome;
using kalvera::StreamHolder;

static VALUE cTextFileWriter = Qnil;
static VALUE cFileCopier = Qnil;

// Raises Ruby's own memory error once no C++ object is left to destroy on this frame.
static VALUE answer(Outcome outcome) {
  if (outcome == kalvera::outcomeNoMemory) rb_memerror();
  return outcome == kalvera::outcomeTrue ? Qtrue : Qfalse;
}

// As Ruby's own File.open: when descriptors run out, collect garbage, which closes the files of
// writers dropped without close, and try once more.
template <typename Call>
static Outcome collecting_if_out_of_descriptors(Call call) {
  Outcome outcome = call();
  if (outcome == kalvera::outcomeNoDescriptors) {
    rb_gc();
    outcome = call();
  }
  return outcome;
}

// A String's bytes, whole: a NUL byte inside is data, never an end.
#define BYTES(str) RSTRING_PTR(str), static_cast<unsigned long>(RSTRING_LEN(str))

/*
 * Document-class: KalveraMod::TextFileWriter
 *
 * Writes a text file at a UTF-8 path that may hold any Unicode character. Writes answer
 * whether the writer is still in good state; the writer never raises errors of its own.
 */

static StreamHolder* holder_of(VALUE self) {
  return static_cast<StreamHolder*>(DATA_PTR(self));
}

// Also runs for writers still open when the interpreter exits, so no buffered line is lost.
static void writer_free(void* holder) {
  kalvera::streamFinish(static_cast<StreamHolder*>(holder));
}

#ifdef HAVE_RB_DATA_TYPED_OBJECT_WRAP
// Freed during the collection itself, not after it, so a dropped writer's descriptor is free
// for the very open that asked for the collection.
static const rb_data_type_t writer_type = {
    "KalveraMod::TextFileWriter", {0, writer_free, 0}, 0, 0, RUBY_TYPED_FREE_IMMEDIATELY};

static VALUE writer_alloc(VALUE klass) {
  return rb_data_typed_object_wrap(klass, 0, &writer_type);
}
#else
static VALUE writer_alloc(VALUE klass) {
  return rb_data_object_alloc(klass, 0, 0, writer_free);
}
#endif

/*
 * call-seq:
 *   KalveraMod::TextFileWriter.new(path) -> writer
 *
 * Creates the file at +path+ (a UTF-8 String), or empties it if it exists. If the file cannot
 * be opened, or +path+ holds a NUL byte, the writer is not #valid? and writes nothing.
 */
static VALUE writer_initialize(VALUE self, VALUE path) {
  StringValue(path);
  // A second initialize must not leak the first file or its buffered lines.
  StreamHolder* earlier = holder_of(self);
  DATA_PTR(self) = 0;
  kalvera::streamFinish(earlier);

  StreamHolder* holder = 0;
  const Outcome opened = collecting_if_out_of_descriptors([&] {
    kalvera::streamFinish(holder);  // the holder of a first attempt that found no descriptor
    return kalvera::streamOpen(BYTES(path), &holder);
  });
  DATA_PTR(self) = holder;
  answer(opened);
  return self;
}

static VALUE writer_write(VALUE self, VALUE text, bool asLine) {
  // Called once a line: only a non-String pays for the conversion call.
  if (TYPE(text) != T_STRING) StringValue(text);
  return kalvera::streamWrite(holder_of(self), BYTES(text), asLine) ? Qtrue : Qfalse;
}

/*
 * call-seq:
 *   writer << text -> true or false
 *
 * Writes the bytes of +text+ unchanged. Answers whether the writer is still good, not the
 * writer, so calls do not chain.
 */
static VALUE writer_append(VALUE self, VALUE text) {
  return writer_write(self, text, false);
}

/*
 * call-seq:
 *   writer.puts(text) -> true or false
 *
 * Writes +text+ as a line: a "\n" follows unless +text+ already ends with one. Answers whether
 * the writer is still good.
 */
static VALUE writer_puts(VALUE self, VALUE text) {
  return writer_write(self, text, true);
}

/*
 * call-seq:
 *   writer.close -> true or false
 *
 * Flushes and closes the file. Answers false when bytes were lost: an earlier write failed, or
 * this final flush or the close did. Closing again answers true.
 */
static VALUE writer_close(VALUE self) {
  StreamHolder* holder = holder_of(self);
  DATA_PTR(self) = 0;
  return kalvera::streamFinish(holder) ? Qtrue : Qfalse;
}

/*
 * call-seq:
 *   writer.valid? -> true or false
 *
 * Whether the file is open and every write so far succeeded.
 */
static VALUE writer_valid_p(VALUE self) {
  return kalvera::streamGood(holder_of(self)) ? Qtrue : Qfalse;
}

/*
 * Document-class: KalveraMod::FileCopier
 *
 * Copies a file without ever overwriting one.
 */

/*
 * call-seq:
 *   KalveraMod::FileCopier.new(source, destination) -> copier
 *
 * Copies the file at +source+ to +destination+ (UTF-8 Strings) unless +destination+ exists.
 * Whether the copy was made is not reported; check the destination.
 */
static VALUE copier_initialize(VALUE self, VALUE source, VALUE destination) {
  StringValue(source);
  StringValue(destination);
  answer(collecting_if_out_of_descriptors(
      [&] { return kalvera::copyWithoutOverwrite(BYTES(source), BYTES(destination)); }));
  return self;
}

/*
 * call-seq:
 *   KalveraMod::FileCopier.exist?(path) -> true or false
 *
 * Whether the file at +path+ exists and opens for reading and writing. Never creates or
 * changes the file.
 */
static VALUE copier_exist_p(VALUE self, VALUE path) {
  StringValue(path);
  return answer(collecting_if_out_of_descriptors([&] { return kalvera::opensForUpdate(BYTES(path)); }));
}

/*
 * Document-module: KalveraMod
 *
 * File services for UTF-8 paths that reach the operating system as UTF-16.
 */

/*
 * call-seq:
 *   KalveraMod.isFolderWritable?(path) -> true or false
 *
 * Whether the directory or file at +path+ may be written.
 */
static VALUE kalvera_folder_writable_p(VALUE self, VALUE path) {
  rb_string_value_ptr(&path);
  return answer(kalvera::writeAccess(BYTES(path)));
}

extern "C" void Init_kalvera(void) {
  VALUE mKalvera = rb_define_module("KalveraMod");

  cTextFileWriter = rb_define_class_under(mKalvera, "TextFileWriter", rb_cObject);
  rb_gc_register_address(&cTextFileWriter);
  rb_define_module_function(mKalvera, "isFolderWritable?", RUBY_METHOD_FUNC(kalvera_folder_writable_p), 1);
  rb_define_alloc_func(cTextFileWriter, writer_alloc);
  rb_define_method(cTextFileWriter, "initialize", RUBY_METHOD_FUNC(writer_initialize), 1);
  rb_define_method(cTextFileWriter, "<<", RUBY_METHOD_FUNC(writer_append), 1);
  rb_define_method(cTextFileWriter, "puts", RUBY_METHOD_FUNC(writer_puts), 1);
  rb_define_method(cTextFileWriter, "close", RUBY_METHOD_FUNC(writer_close), 0);
  rb_define_method(cTextFileWriter, "valid?", RUBY_METHOD_FUNC(writer_valid_p), 0);

  cFileCopier = rb_define_class_under(mKalvera, "FileCopier", rb_cObject);
  rb_gc_register_address(&cFileCopier);
  rb_define_method(cFileCopier, "initialize", RUBY_METHOD_FUNC(copier_initialize), 2);
  rb_define_module_function(cFileCopier, "exist?", RUBY_METHOD_FUNC(copier_exist_p), 1);
}
