// sha256: the SHA-256 digest of a file, for kovafw's info. A package's own
// checksum is a plain byte sum; the digest is what tells two packages apart
// and what a release names for a package. The digest itself is Nettle's.
#pragma once

#include <string>

// The lower-case hex digest of a file; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string& hex);
