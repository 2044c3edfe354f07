#include "resource_lookup.h"

#include <map>
#include <utility>

#include "text.h"

namespace pack {
namespace {

constexpr uint16_t kNeutral = 0, kEnglishNoSublanguage = 9;

bool SameResource(const ResourceItem& a, const ResourceItem& b) {
  return a.type == b.type && a.name == b.name;
}

// The key FindResourceW looks a name up by, or false for a "#" name that is no number it takes.
bool LookupKey(std::u16string_view name, ResourceKey* key) {
  if (name.empty() || name[0] != u'#') {
    *key = ResourceKey::Name(UpperCaseUnits(name));
    return true;
  }
  uint32_t value = 0;
  if (name.size() == 1) return false;
  for (char16_t unit : name.substr(1)) {
    if (unit < u'0' || unit > u'9' || (value = value * 10 + (unit - u'0')) > 0xFFFF) return false;
  }
  *key = ResourceKey::Id(static_cast<uint16_t>(value));
  return true;
}

// Each type and name's items, in directory order.
using Languages = std::map<std::pair<ResourceKey, ResourceKey>, std::vector<size_t>>;

// The item FindResourceW finds for `key` in `type`, or -1.
long Find(const std::vector<ResourceItem>& resources, const Languages& languages,
          const ResourceKey& type, const ResourceKey& key) {
  const auto items = languages.find({type, key});
  if (items == languages.end()) return -1;
  long first = -1, english = -1, english_alone = -1;
  for (size_t i : items->second) {
    const long at = static_cast<long>(i);
    const uint16_t language = resources[i].language;
    if (language == kNeutral) return at;
    if (first < 0) first = at;
    if (language == kEnglishUs && english < 0) english = at;
    if (language == kEnglishNoSublanguage && english_alone < 0) english_alone = at;
  }
  return english >= 0 ? english : english_alone >= 0 ? english_alone : first;
}

}  // namespace

std::vector<PayloadName> EnumeratedNames(const std::vector<ResourceItem>& resources) {
  Languages languages;
  for (size_t i = 0; i < resources.size(); ++i) {
    languages[{resources[i].type, resources[i].name}].push_back(i);
  }
  std::vector<PayloadName> names;
  for (size_t i = 0; i < resources.size(); ++i) {
    const ResourceItem& item = resources[i];
    if (!item.type.is_name || (i > 0 && SameResource(resources[i - 1], item))) continue;
    PayloadName name;
    name.type = item.type.name;
    name.is_id = !item.name.is_name;
    if (!name.is_id) {
      // The enumeration hands the name over as a terminated string.
      const std::u16string_view stored = item.name.name;
      name.name = stored.substr(0, stored.find(u'\0'));
      ResourceKey key;
      if (LookupKey(name.name, &key)) name.found = Find(resources, languages, item.type, key);
      if (name.found >= 0) name.size = resources[static_cast<size_t>(name.found)].data.size();
    }
    names.push_back(name);
  }
  return names;
}

std::vector<std::string> LanguageFaults(const std::vector<ResourceItem>& resources) {
  std::vector<std::string> faults;
  for (size_t i = 0; i < resources.size();) {
    size_t end = i + 1;
    std::string languages = std::to_string(resources[i].language);
    for (; end < resources.size() && SameResource(resources[i], resources[end]); ++end) {
      languages += ", " + std::to_string(resources[end].language);
    }
    const ResourceItem& item = resources[i];
    if (end - i > 1 && item.type.is_name && IsPayloadType(item.type.name)) {
      faults.push_back("resource " + item.type.Text() + " " + Quoted(item.name.Text()) +
                       " is stored in " + std::to_string(end - i) + " languages (" + languages +
                       "): which one the installer takes depends on the user's language settings");
    }
    i = end;
  }
  return faults;
}

}  // namespace pack
