#pragma once
// A fresh configuration store in a temporary folder for one test: QUORVALINK_HOME
// points at it while the object lives, and the store is reopened from there.
#include <string>

class TempStore {
  public:
    TempStore();
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
    std::string previousHome_;
    bool hadHome_ = false;
};
