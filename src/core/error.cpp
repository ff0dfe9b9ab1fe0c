#include "core/error.h"

namespace tarnwick {

std::string Error::message() const {
  switch (kind_) {
    case Kind::UnrecognizedFormat:
      return "unrecognized ML model container format";
    case Kind::Malformed:
      return "malformed model container: " + text_;
    case Kind::NoManifest:
      return "no C2PA manifest found in model";
    case Kind::EmptySource:
      return "manifest source has neither an embedded store nor a URI";
    case Kind::MalformedReference:
      return "malformed manifest reference: " + text_;
    case Kind::DuplicateManifest:
      return "more than one c2pa:manifest entry in the " + text_ +
             " container";
    case Kind::MalformedExclusion:
      return "data hash exclusion is malformed: " + text_;
    case Kind::DuplicateUri:
      return "more than one c2pa:manifest.uri entry in the " + text_ +
             " container";
    case Kind::Digest:
    case Kind::TooLarge:
      return text_;
    case Kind::StoreSizeDiffers:
      return "store size differs from the reserved store: " + text_;
  }
  return "internal error: unknown error kind";
}

}  // namespace tarnwick
