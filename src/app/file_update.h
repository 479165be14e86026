// The update of each pending file: download beside it, verify, rename over it.
#pragma once

#include <string>
#include <vector>

#include "manifest.h"
#include "signed_manifest.h"

// Prints the per-file lines; returns how many files were not put in place.
// signedDigests (an updater built with keys) holds each path's signed
// SHA-256: a file is then held to it and to its size as well as its MD5.
int UpdatePendingFiles(const std::string& baseUrl, const std::vector<ManifestEntry>& pending,
                       const SignedDigests* signedDigests = NULL);
