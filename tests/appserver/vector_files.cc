// vector_files.cc -- reading the vectors' JSON: Latin-1 strings back to bytes, base64 bodies.
#include "vector_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace {

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The JSON library hands strings over as UTF-8; each code point (0 to 255) stands for a byte.
std::string latin1(const std::string& utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if ((c & 0xE0) == 0xC0 && c <= 0xC3 && i + 1 < utf8.size()) {
            bytes.push_back(static_cast<char>(((c & 0x1F) << 6) | (utf8[++i] & 0x3F)));
        } else {
            throw std::runtime_error("a character above U+00FF in a vector");
        }
    }
    return bytes;
}

std::string base64(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0, count = 0;
    for (char c : text) {
        std::size_t value = alphabet.find(c);
        if (value == std::string::npos) continue; // padding
        bits = (bits << 6) | static_cast<unsigned>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return bytes;
}

} // namespace

std::vector<LinkVector> loadLinkVectors() {
    std::vector<LinkVector> vectors;
    std::filesystem::path folder = std::filesystem::path(DOSTREL_SOURCE_DIR) / "tests/vectors";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".json") continue;
        nlohmann::json json = nlohmann::json::parse(fileBytes(entry.path()));
        LinkVector vector;
        vector.name = entry.path().stem().string();
        vector.bytes = fileBytes(std::filesystem::path(entry.path()).replace_extension(".bin"));
        vector.accept = json.at("expect") == "accept";
        vector.limits = dostrel_limits_default();
        if (json.contains("limits")) {
            const nlohmann::json& limits = json["limits"];
            vector.limits.max_keys = limits.value("max_keys", vector.limits.max_keys);
            vector.limits.max_variable_bytes =
                limits.value("max_variable_bytes", vector.limits.max_variable_bytes);
            vector.limits.max_body_bytes =
                limits.value("max_body_bytes", vector.limits.max_body_bytes);
        }
        if (vector.accept) {
            vector.request.major = json.at("version").at(0);
            vector.request.minor = json.at("version").at(1);
            for (const auto& variable : json.at("variables"))
                vector.request.variables.emplace_back(latin1(variable.at(0)),
                                                      latin1(variable.at(1)));
            vector.request.body = base64(json.at("body_base64"));
        } else {
            vector.reason = json.at("reason");
        }
        vectors.push_back(std::move(vector));
    }
    std::sort(vectors.begin(), vectors.end(),
              [](const LinkVector& a, const LinkVector& b) { return a.name < b.name; });
    return vectors;
}
