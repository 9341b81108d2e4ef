#pragma once

// The detached CMS signature over a bundle's seal, and the code requirement the updater asks for.

#include <ctime>
#include <optional>
#include <string>

namespace tarnwick::update_tools {

// What a good signature tells about its signer.
struct Signer {
  std::string organizationalUnit;  // the leaf certificate's one subject OU
  bool validNow = false;           // the leaf certificate's dates include the present
};

// DER CMS, detached, over `content`, signed with the PEM key and certificate files.
std::optional<std::string> signDetached(const std::string& content, const std::string& keyFile,
                                        const std::string& certificateFile);

// Verifies `signature` (DER CMS, detached) over `content` against a store holding only
// `rootPem`: one signer, a chain to that root valid now, the code-signing purpose. Nothing when
// any of that fails.
std::optional<Signer> verifyDetached(const std::string& content, const std::string& signature,
                                     const std::string& rootPem);

// The signer's leaf certificate as the signature carries it, without verifying anything: whether
// its dates include the present. False when there is no single signer certificate.
bool signerCertificateValidNow(const std::string& signature);

// The requirement the updater builds:
//   anchor apple generic and identifier "X" and certificate leaf[subject.OU] = "Y"
struct Requirement {
  std::string identifier;
  std::string organizationalUnit;
};
std::optional<Requirement> parseRequirement(const std::string& text);

}  // namespace tarnwick::update_tools
