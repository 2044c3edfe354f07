// What the installer's own resource calls meet in an image's resource directory: the names
// EnumResourceNamesW lists, and the resource and language FindResourceW finds for each, so that
// the installer reader predicts the scan from the resources as they are stored.
#pragma once

#include <string>
#include <vector>

#include "installer_reader.h"
#include "payload_scan.h"

namespace pack {

// Every type's entries as EnumResourceNamesW lists them (`resources` in directory order, one
// item a language), each with what FindResourceW(module, name, type) then finds: the name
// upper-cased ("#123" read as that number), and of its languages the one Windows takes when
// asked for none in particular on a machine set to U.S. English (neutral, then 1033, then English
// without a sublanguage, then the first). `found` indexes `resources`; the views point into them.
std::vector<PayloadName> EnumeratedNames(const std::vector<ResourceItem>& resources);

// A line for each payload resource stored in more than one language: which of them FindResourceW
// takes depends on the language settings of the user's machine, so no reading can say.
std::vector<std::string> LanguageFaults(const std::vector<ResourceItem>& resources);

}  // namespace pack
