// sha256.h -- SHA-256 over data given in pieces, for the sample server's POST ?sum answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
  public:
    Sha256();
    void add(const void* data, std::size_t size);
    /// The digest in lower-case hexadecimal; the object is spent afterwards.
    std::string hex();

  private:
    void block(const unsigned char* bytes);

    std::uint32_t state_[8];
    unsigned char pending_[64];
    std::size_t pendingSize_ = 0;
    std::uint64_t totalBytes_ = 0;
};
