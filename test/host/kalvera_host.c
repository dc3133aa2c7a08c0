/* An embedding host for the tests, standing in for the application that embeds Ruby: it runs
 * a script file with the extension's directory on the load path, then ends the process as the
 * last argument says.
 *
 *   kalvera_host EXT_DIR SCRIPT finalize   finalizes the interpreter, then returns from main
 *   kalvera_host EXT_DIR SCRIPT exit       calls exit(0), the interpreter never finalized
 *   kalvera_host EXT_DIR SCRIPT atexit     calls exit(0); a C exit handler registered before the
 *                                          script ran finalizes the interpreter, after the
 *                                          handlers the script's extensions registered
 *
 * Exits with 0, 1 when the script raised (it still ends as asked), or 2 on a usage error.
 * Written once for Ruby 1.8 and 1.9+; HAVE_RUBY_ENCODING_H, which ruby.h defines from 1.9 on,
 * marks where their embedding interfaces differ. */
#include <ruby.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void finalize_at_exit(void) {
  ruby_finalize();
}

/* Run under rb_protect: the message of whatever the script raised. */
static VALUE describe(VALUE error) {
  return rb_obj_as_string(error);
}

int main(int argc, char** argv) {
  int state = 0;
  int status = 0;
  const char* ending;
  RUBY_INIT_STACK;

  if (argc != 4 || (strcmp(argv[3], "finalize") != 0 && strcmp(argv[3], "exit") != 0 &&
                    strcmp(argv[3], "atexit") != 0)) {
    fprintf(stderr, "usage: %s EXT_DIR SCRIPT finalize|exit|atexit\n", argv[0]);
    return 2;
  }
  ending = argv[3];

#ifdef HAVE_RUBY_ENCODING_H
  ruby_sysinit(&argc, &argv);
#elif defined(_WIN32)
  NtInitialize(&argc, &argv); /* 1.8's ruby_sysinit, Windows only */
#endif
  ruby_init();
#ifdef HAVE_RUBY_ENCODING_H
  {
    /* From 1.9 on only ruby_options sets up the load path and the encodings, and in 3.x the
     * methods Ruby defines in Ruby (GC.start among them). It gets an empty script, never run. */
    char* options[] = {argv[0], "--disable-gems", "-e", "", NULL};
    ruby_options(4, options);
  }
#else
  ruby_init_loadpath();
#endif
  ruby_script("kalvera_host");
  ruby_incpush(argv[1]);

  if (strcmp(ending, "atexit") == 0) atexit(finalize_at_exit);
  rb_load_protect(rb_str_new2(argv[2]), 0, &state);
  if (state != 0) {
    VALUE message = rb_protect(describe, rb_gv_get("$!"), &state);
    fprintf(stderr, "%s: the script raised: %s\n", argv[0], state == 0 ? StringValuePtr(message) : "?");
    status = 1;
  }
  fflush(stderr);

  if (strcmp(ending, "finalize") == 0) {
    ruby_finalize();
    return status;
  }
  exit(status);
}
