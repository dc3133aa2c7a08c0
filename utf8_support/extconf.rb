require "mkmf"

windows = RbConfig::CONFIG["target_os"] =~ /mingw|mswin/

# Older mkmf links with the C driver, which leaves the C++ runtime out.
have_library("stdc++") unless windows

# Typed data objects can be freed during a collection rather than after it.
have_func("rb_data_typed_object_wrap", "ruby.h")

# Older mkmf compiles .cpp files with $CFLAGS only, newer ones with $CXXFLAGS: give both. Set
# after the checks above, which compile C. Ruby 1.8's headers still declare `register`
# parameters, which C++17 dropped.
$CFLAGS << " -std=c++17 -Wno-register" if RUBY_VERSION < "1.9"
$CXXFLAGS = "#{$CXXFLAGS} -std=c++17"

# Ruby 1.8's configuration names no C++ compiler, so its Makefile would leave make to pick the
# build machine's own g++, and it links with the C driver, to which -static-libstdc++ means
# nothing. Use the C++ driver of the same toolchain for both.
cxx = RbConfig::CONFIG["CXX"].to_s
cxx = RbConfig::CONFIG["CC"].sub(/gcc(?=[^\/\s]*(\s|\z))/, "g++").sub(/\bclang\b/, "clang++") if cxx.empty?
unless RbConfig::CONFIG["LDSHAREDXX"]
  RbConfig::MAKEFILE_CONFIG["LDSHARED"] = RbConfig::CONFIG["LDSHARED"].sub(/\A\S+/, cxx)
end

if windows && RbConfig::CONFIG["CC"] =~ /gcc|mingw/
  # The host ships no C++ runtime DLLs: carry the runtime inside the extension. Stripped: the
  # host loads the DLL, nobody debugs it there.
  $LDFLAGS << " -static-libgcc -static-libstdc++ -s"
  # Ruby 1.8 exports every symbol of an extension and writes no module definition file; newer
  # mkmf writes one that exports Init_kalvera alone. Give 1.8 the same.
  if RUBY_VERSION < "1.9"
    $DLDFLAGS = $DLDFLAGS.split(" ").map { |flag|
      parts = flag.split(",").reject { |part| part =~ /\A--export-all(-symbols)?\z/ }
      parts == ["-Wl"] ? nil : parts.join(",")
    }.compact.join(" ")
    File.open("kalvera.def", "w") { |definitions| definitions.puts "EXPORTS", "Init_kalvera" }
    $DLDFLAGS << " kalvera.def"
    $distcleanfiles << "kalvera.def"
  end
end

# One OS layer per platform, chosen here rather than by #ifdef in the sources.
os_layer = windows ? "os_win" : "os_posix"
sources = ["kalvera", "file_services", "utf8_path", os_layer]
$objs = sources.map { |name| "#{name}.#{$OBJEXT}" }
$srcs = sources.map { |name| "#{name}.cpp" }

create_makefile("kalvera")

unless File.read("Makefile") =~ /^CXX\s*=/
  File.open("Makefile", "a") { |makefile| makefile.puts "CXX = #{cxx}" }
end
