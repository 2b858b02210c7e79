#pragma once
// The stable name applications open (deviceFolder/COM5): a symbolic link that the driver
// points at the pty waiting for the port's next application. It is swapped by rename, so
// the name never disappears, and made only in a folder of this user that nobody else can
// write into; a link another user put there, or a file that is not a link, is never
// replaced.
//
// Used on the driver thread or under the driver's lock.
#include <string>

namespace portdriver {

class PortLink {
  public:
    explicit PortLink(std::string path) : path_(std::move(path)) {}

    // Points the link at target. False when the place is not safe or the swap failed.
    bool pointAt(const std::string& target);
    // Points it at target again when it is missing or leads elsewhere (someone removed or
    // replaced it); false when it cannot be put back.
    bool keep(const std::string& target);
    // Removes the link when it still points at target.
    void remove(const std::string& target);
    const std::string& path() const { return path_; }

  private:
    bool placeSafe() const;

    std::string path_;
};

} // namespace portdriver
