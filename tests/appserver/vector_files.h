// vector_files.h -- the shared link-protocol vectors of tests/vectors, read for the tests.
#pragma once

#include "link_encoding.h"

#include <string>
#include <vector>

struct LinkVector {
    std::string name;
    std::string bytes;  // the .bin
    bool accept;        // "expect": "accept"
    std::string reason; // for refused vectors
    dostrel_limits limits;
    LinkRequest request; // for accepted vectors
};

/// Every vector in tests/vectors, sorted by name.
std::vector<LinkVector> loadLinkVectors();
