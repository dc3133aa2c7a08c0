require "mkmf"

windows = RbConfig::CONFIG["target_os"] =~ /mingw|mswin/

# Older mkmf links with the C driver, which leaves the C++ runtime out.
have_library("stdc++") unless windows

# Typed data objects can be freed during a collection rather than after it.
have_func("rb_data_typed_object_wrap", "ruby.h")

# Older mkmf compiles .cpp files with $CFLAGS only, newer ones with $CXXFLAGS: give both. Set
# after the checks above, which compile C.
$CFLAGS << " -std=c++17" if RUBY_VERSION < "1.9"
$CXXFLAGS = "#{$CXXFLAGS} -std=c++17"

# The host ships no C++ runtime DLLs: carry the runtime inside the extension.
$LDFLAGS << " -static-libgcc -static-libstdc++" if windows && RbConfig::CONFIG["CC"] =~ /gcc|mingw/

# One OS layer per platform, chosen here rather than by #ifdef in the sources.
os_layer = windows ? "os_win" : "os_posix"
sources = ["kalvera", "file_services", "utf8_path", os_layer]
$objs = sources.map { |name| "#{name}.#{$OBJEXT}" }
$srcs = sources.map { |name| "#{name}.cpp" }

create_makefile("kalvera")
