// The device port's own errors. Their messages say what happened and what to do.
#pragma once

#include <stdexcept>
#include <string>

// The port could not be opened or configured, or a write failed.
class EPortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
