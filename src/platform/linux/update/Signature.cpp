#include "platform/linux/update/Signature.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace tarnwick::update_tools {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* value) const { Free(value); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;

void freeCertificates(STACK_OF(X509) * certificates) {
  sk_X509_pop_free(certificates, X509_free);
}
using CertsPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificates>>;

BioPtr memoryOf(const std::string& data) {
  return BioPtr(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
}

CmsPtr parseCms(const std::string& signature) {
  if (signature.empty() || signature.size() > (1u << 20)) {
    return nullptr;
  }
  auto bio = memoryOf(signature);
  return CmsPtr(bio ? d2i_CMS_bio(bio.get(), nullptr) : nullptr);
}

bool validNow(const X509* certificate) {
  return X509_cmp_current_time(X509_get0_notBefore(certificate)) < 0 &&
         X509_cmp_current_time(X509_get0_notAfter(certificate)) > 0;
}

// The one certificate among those the signature carries that matches its one signer.
X509Ptr signerCertificate(CMS_ContentInfo* cms) {
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
  if (!infos || sk_CMS_SignerInfo_num(infos) != 1) {
    return nullptr;
  }
  CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, 0);
  CertsPtr certificates(CMS_get1_certs(cms));
  if (!certificates) {
    return nullptr;
  }
  X509Ptr found;
  for (int i = 0; i < sk_X509_num(certificates.get()); ++i) {
    X509* candidate = sk_X509_value(certificates.get(), i);
    if (CMS_SignerInfo_cert_cmp(info, candidate) == 0) {
      if (found) {
        return nullptr;  // two candidates: ambiguous
      }
      X509_up_ref(candidate);
      found.reset(candidate);
    }
  }
  return found;
}

std::optional<std::string> onlyOrganizationalUnit(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
  if (index < 0 || X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, index) >= 0) {
    return std::nullopt;
  }
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) {
    return std::nullopt;
  }
  std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

}  // namespace

std::optional<std::string> signDetached(const std::string& content, const std::string& keyFile,
                                        const std::string& certificateFile) {
  BioPtr keyBio(BIO_new_file(keyFile.c_str(), "r"));
  BioPtr certBio(BIO_new_file(certificateFile.c_str(), "r"));
  if (!keyBio || !certBio) {
    return std::nullopt;
  }
  KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  X509Ptr certificate(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  auto data = memoryOf(content);
  if (!key || !certificate || !data) {
    return std::nullopt;
  }
  CmsPtr cms(CMS_sign(certificate.get(), key.get(), nullptr, data.get(),
                      CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!cms || !out || i2d_CMS_bio(out.get(), cms.get()) != 1) {
    return std::nullopt;
  }
  char* bytes = nullptr;
  long size = BIO_get_mem_data(out.get(), &bytes);
  if (size <= 0) {
    return std::nullopt;
  }
  return std::string(bytes, static_cast<std::size_t>(size));
}

std::optional<Signer> verifyDetached(const std::string& content, const std::string& signature,
                                     const std::string& rootPem) {
  auto cms = parseCms(signature);
  auto rootBio = memoryOf(rootPem);
  if (!cms || !rootBio) {
    return std::nullopt;
  }
  X509Ptr root(PEM_read_bio_X509(rootBio.get(), nullptr, nullptr, nullptr));
  StorePtr store(X509_STORE_new());
  if (!root || !store || X509_STORE_add_cert(store.get(), root.get()) != 1) {
    return std::nullopt;
  }
  // The chain is judged as code signing below; the S/MIME purpose CMS assumes does not apply.
  X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
  auto leaf = signerCertificate(cms.get());
  auto data = memoryOf(content);
  if (!leaf || !data ||
      CMS_verify(cms.get(), nullptr, store.get(), data.get(), nullptr, CMS_BINARY) != 1) {
    return std::nullopt;
  }
  // A certificate for another use under the same root may not sign releases.
  if ((X509_get_extension_flags(leaf.get()) & EXFLAG_XKUSAGE) == 0 ||
      (X509_get_extended_key_usage(leaf.get()) & XKU_CODE_SIGN) == 0) {
    return std::nullopt;
  }
  auto unit = onlyOrganizationalUnit(leaf.get());
  if (!unit) {
    return std::nullopt;
  }
  return Signer{*unit, validNow(leaf.get())};
}

bool signerCertificateValidNow(const std::string& signature) {
  auto cms = parseCms(signature);
  if (!cms) {
    return false;
  }
  auto leaf = signerCertificate(cms.get());
  return leaf && validNow(leaf.get());
}

std::optional<Requirement> parseRequirement(const std::string& text) {
  static const std::string head = "anchor apple generic and identifier \"";
  static const std::string middle = "\" and certificate leaf[subject.OU] = \"";
  if (text.size() > 4096 || text.compare(0, head.size(), head) != 0 || text.back() != '"') {
    return std::nullopt;
  }
  auto identifierEnd = text.find('"', head.size());
  if (identifierEnd == std::string::npos ||
      text.compare(identifierEnd, middle.size(), middle) != 0) {
    return std::nullopt;
  }
  auto unitStart = identifierEnd + middle.size();
  if (unitStart >= text.size()) {
    return std::nullopt;
  }
  auto unitEnd = text.size() - 1;
  Requirement requirement{text.substr(head.size(), identifierEnd - head.size()),
                          text.substr(unitStart, unitEnd - unitStart)};
  auto plain = [](const std::string& value) {
    if (value.empty()) {
      return false;
    }
    for (char c : value) {
      auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
        return false;
      }
    }
    return true;
  };
  if (!plain(requirement.identifier) || !plain(requirement.organizationalUnit)) {
    return std::nullopt;
  }
  return requirement;
}

}  // namespace tarnwick::update_tools
