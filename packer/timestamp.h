// An RFC 3161 countersignature from a time-stamping server, over HTTP or HTTPS.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

// Asks the server at `url` (http:// or https://) to time-stamp `signature` (the signer's
// encrypted digest, which is what Authenticode countersigns) and returns the TimeStampToken it
// answered: a PKCS #7 SignedData, as DER. Fails naming the server and what went wrong.
std::vector<uint8_t> TimeStampToken(const std::string& url, const std::vector<uint8_t>& signature);

}  // namespace pack
