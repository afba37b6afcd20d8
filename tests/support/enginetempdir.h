#ifndef QND_TESTS_ENGINETEMPDIR_H
#define QND_TESTS_ENGINETEMPDIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

// A scratch directory for the engine's tests (no Qt there), removed with
// everything in it when the test ends.
class TempDir
{
public:
    TempDir()
    {
        char pattern[] = "/tmp/qnd-engine-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        m_Path = made ? made : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!m_Path.empty())
            std::filesystem::remove_all(m_Path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

#endif
