# Every target of the project links qnd_build_flags: warnings, and the
# sanitizers when QND_SANITIZE is on. Flags stay on targets, not globals.
add_library(qnd_build_flags INTERFACE)
target_compile_options(qnd_build_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wno-unused-parameter)

# The fuzzer build runs with the same sanitizers and adds libFuzzer's coverage
# hooks; each fuzzer links libFuzzer itself.
if(QND_SANITIZE OR QND_BUILD_FUZZERS)
  set(qnd_sanitizers address,undefined)
  if(QND_BUILD_FUZZERS)
    set(qnd_sanitizers fuzzer-no-link,${qnd_sanitizers})
  endif()
  target_compile_options(qnd_build_flags INTERFACE
    -fsanitize=${qnd_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(qnd_build_flags INTERFACE -fsanitize=address,undefined)
endif()

# Qt's moc runs for every target that has Q_OBJECT classes.
set(CMAKE_AUTOMOC ON)
