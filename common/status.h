// A success flag with a message for the environment channel (files that cannot be opened,
// read or written). Damaged content is not an error: it goes to the damage log instead.
#pragma once

#include <string>
#include <utility>

namespace palvara {

class Status {
 public:
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return ok_; }
  const std::string& message() const { return message_; }

 private:
  Status() = default;
  explicit Status(std::string message) : ok_(false), message_(std::move(message)) {}

  bool ok_ = true;
  std::string message_;
};

}  // namespace palvara
