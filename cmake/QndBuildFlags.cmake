# Every target of the project links qnd_build_flags: warnings, and the
# sanitizers when QND_SANITIZE is on. Flags stay on targets, not globals.
add_library(qnd_build_flags INTERFACE)
target_compile_options(qnd_build_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wno-unused-parameter)
if(QND_SANITIZE)
  target_compile_options(qnd_build_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(qnd_build_flags INTERFACE -fsanitize=address,undefined)
endif()

if(QND_BUILD_FUZZERS)
  target_compile_options(qnd_build_flags INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(qnd_build_flags INTERFACE -fsanitize=address,undefined)
endif()

# Qt's moc runs for every target that has Q_OBJECT classes.
set(CMAKE_AUTOMOC ON)
