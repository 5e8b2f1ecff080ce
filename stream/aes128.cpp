#include "stream/aes128.h"

#include <openssl/evp.h>

#include <memory>

#include "stream/streamplan.h"

namespace larkvale::stream {

std::string DecryptAes128Cbc(std::string_view data, const Key128& key, const Key128& iv) {
  if (data.empty() || data.size() % 16 != 0) throw StreamError("bad length");
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data()) != 1)
    throw StreamError("AES-128 is not available.");
  std::string out(data.size() + 16, '\0');
  int n = 0, tail = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_DecryptUpdate(ctx.get(), o, &n, reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size())) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), o + n, &tail) != 1)
    throw StreamError("bad padding");
  out.resize(static_cast<std::size_t>(n + tail));
  return out;
}

}  // namespace larkvale::stream
