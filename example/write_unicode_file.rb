# Writes a text file under a non-ASCII name, copies it without overwriting, and reports each step.
require "tmpdir"
require "kalvera"

dir = ARGV[0] || Dir.mktmpdir("kalvera-example")
name = File.join(dir, "r\u00e9sum\u00e9 \u65e5\u672c\u8a9e \u{1F4C4}.txt")
copy = File.join(dir, "copie \u00e0 \u00e9crire \u{1F4C4}.txt")

writer = KalveraMod::TextFileWriter.new(name)
puts "opened   #{name}: valid? #{writer.valid?}"
puts "puts     -> #{writer.puts("Bonjour, \u4e16\u754c \u{1F30D}")}"
puts "<<       -> #{writer << "a second line\n"}"
puts "close    -> #{writer.close}"
puts "wrote    #{File.size(name)} bytes: #{File.open(name, "rb", &:read).force_encoding("UTF-8").inspect}"

KalveraMod::FileCopier.new(name, copy)
puts "copied   to #{copy}: exist? #{KalveraMod::FileCopier.exist?(copy)}"
KalveraMod::FileCopier.new(__FILE__, copy)
puts "again    onto the copy: unchanged? #{File.open(copy, "rb", &:read) == File.open(name, "rb", &:read)}"
puts "folder   #{dir}: writable? #{KalveraMod.isFolderWritable?(dir)}"
