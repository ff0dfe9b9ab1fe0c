#include "file/error.h"

#include <cstring>

namespace tarnwick::file {

std::string FileError::message() const {
  switch (kind) {
    case Kind::Model:
      return model ? model->message() : std::string();
    case Kind::System: {
      char buf[128];
      // The GNU strerror_r: thread-safe, returns the text (not always in buf).
      return strerror_r(err, buf, sizeof buf);
    }
    case Kind::Changed:
      return "the model file changed while it was being read";
    case Kind::Replaced:
      return "replaced by another file during the rewrite; left as it is";
    case Kind::SameFile:
      return "the output is the model itself";
    case Kind::NotRegular:
      return detail.empty() ? "not a regular file" : "not a regular file (" + detail + ")";
    case Kind::HardLinked:
      return "the model has more than one name (hard links), and a write in place would change it "
             "under every one of them; copy it first";
    case Kind::Aborted:
      return "stopped by the progress callback";
    case Kind::ExternalData:
      return "the ONNX model keeps tensors in external data files, which are not copied with it: write the "
             "output into the model's own folder, or sign the whole model into a new folder "
             "(tarnwick sign -o DIR, sign_model(..., output=DIR))";
  }
  return "internal error: unknown file error kind";
}

}  // namespace tarnwick::file
