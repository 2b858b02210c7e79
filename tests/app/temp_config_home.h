#pragma once
// XDG_CONFIG_HOME pointed at a fresh temporary folder while the object lives, so the
// autostart entries a test writes land there and nowhere else.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

class TempConfigHome {
  public:
    TempConfigHome() {
        char pattern[] = "/tmp/quorvalink-config-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            previous_ = old;
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }
    ~TempConfigHome() {
        if (previous_)
            setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    TempConfigHome(const TempConfigHome&) = delete;
    TempConfigHome& operator=(const TempConfigHome&) = delete;

    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
    std::optional<std::string> previous_;
};
