Gem::Specification.new do |spec|
  spec.name = "kalvera"
  spec.version = "0.1.0"
  spec.summary = "Text file writer, no-overwrite copy and file checks for UTF-8 paths"
  spec.description = <<~DESC
    A native extension whose file services take paths as UTF-8 Strings and hand them to the
    operating system as UTF-16, so a path may hold any Unicode character whatever the
    system's narrow code page is: a text file writer, a copy that never overwrites, an
    "exists and opens for update" test and a write-permission test.
  DESC
  spec.authors = ["The kalvera developers"]
  spec.license = "MIT"
  spec.required_ruby_version = ">= 1.8.7"
  spec.files = Dir["utf8_support/*.{cpp,h,rb}", "README.md", "kalvera.gemspec"]
  spec.extensions = ["utf8_support/extconf.rb"]
  spec.require_paths = ["lib"]
  spec.extra_rdoc_files = ["README.md"]
end
