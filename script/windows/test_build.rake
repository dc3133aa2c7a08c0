# Cross-compiles the extension for the platform the Windows tests run on when
# the Rakefile does not ship that platform (x64-mingw32, for wine64 on
# machines that cannot run 32-bit programs). Run from the project root:
#   rake -f script/windows/test_build.rake KALVERA_TEST_PLATFORM=x64-mingw32 RUBY_CC_VERSION=3.1.2
require "rake/extensiontask"

platform = ENV.fetch("KALVERA_TEST_PLATFORM")

# Same layout as the Rakefile's task, so the output lands in tmp/<platform>/.
Rake::ExtensionTask.new("kalvera") do |ext|
  ext.ext_dir = "utf8_support"
  ext.lib_dir = "lib"
  ext.cross_compile = true
  ext.cross_platform = [platform]
end

task default: "compile:kalvera:#{platform}"
