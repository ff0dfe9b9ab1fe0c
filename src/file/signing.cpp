#include "file/signing.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "dispatch/format.h"
#include "file/operations.h"

namespace tarnwick::file {

Pending::Pending(Pending&&) noexcept = default;
Pending::~Pending() = default;

Outcome<Pending> Pending::rewrite(const std::string& path, const std::string& name,
                                  const std::optional<std::string>& output, Edit edit, const ProgressFn& progress) {
  using Access = Model::Access;
  auto opened = Model::open(path, output ? Access::File : Access::Replace, name);
  if (!opened.ok()) return opened.error();
  Pending p;
  p.model_ = std::make_unique<Model>(std::move(opened).value());
  const Model& m = *p.model_;
  auto out = output ? Output::create(*output, &m, m.permissions()) : Output::replacing(m);
  if (!out.ok()) return out.error();
  p.out_ = std::make_unique<Output>(std::move(out).value());
  edit.hash = digest::Algorithm::SHA256;
  auto written = write_edited(m, *p.out_, edit, progress);
  if (!written.ok()) return written.error();
  p.written_ = std::move(written).value();
  // At `output` the model is done with; in place it is checked at commit.
  if (output) p.model_.reset();
  return p;
}

Outcome<Pending> Pending::copy(const std::string& path, const std::string& name, const std::string& output,
                               const ProgressFn& progress) {
  auto opened = Model::open(path, Model::Access::File, name);
  if (!opened.ok()) return opened.error();
  const Model& m = opened.value();
  Pieces whole;
  whole.add_view(m.bytes());
  Pending p;
  auto out = Output::create(output, &m, m.permissions());
  if (!out.ok()) return out.error();
  p.out_ = std::make_unique<Output>(std::move(out).value());
  if (auto written = p.write(m, whole, progress); !written.ok()) return written.error();
  return p;
}

Outcome<Pending> Pending::store(ByteView data, const std::string& output, const std::optional<std::string>& like) {
  mode_t mode = 0644;
  if (like) {
    struct stat st {};
    if (stat(like->c_str(), &st) != 0) return FileError::system(*like, errno);
    mode = st.st_mode & 0777;
  }
  Pending p;
  auto out = Output::create(output, nullptr, mode);
  if (!out.ok()) return out.error();
  p.out_ = std::make_unique<Output>(std::move(out).value());
  Pieces whole;
  whole.add_view(data);
  if (auto written = p.write(Model::of_bytes(data, output), whole, {}); !written.ok())
    return written.error();
  return p;
}

// A whole source written as it is, and hashed as written.
Done Pending::write(const Model& source, const Pieces& pieces, const ProgressFn& progress) {
  // Copies and stores go where Python cannot reach: no stream, ever.
  if (!out_->is_new_file()) return FileError::not_regular(out_->name(), "not a new file");
  written_ = Written{pieces.size(), std::nullopt, std::nullopt};
  auto digest = WrittenDigest::attach(*out_, digest::Algorithm::SHA256, {}, pieces.size());
  if (!digest.ok()) return digest.error();
  if (auto put = write_pieces(pieces, source, *out_, progress); !put.ok()) return put;
  auto d = digest.value()->finish();
  if (!d.ok()) return d.error();
  written_.digest = std::move(d).value();
  return done();
}

Done Pending::patch(ByteView store) {
  if (!out_) return FileError::of(FileError::Kind::NotRegular, "");
  const std::string& name = out_->name();
  if (!written_.store_range) return FileError::of_model(Error::no_manifest(), name);
  auto image = out_->read_back();
  if (!image.ok()) return image.error();
  const Model& m = image.value();
  Result<StoreWrite> planned = signed_store_write(m.bytes(), store);
  if (!planned.ok()) return FileError::of_model(std::move(planned).error(), name);
  const StoreWrite& w = planned.value();
  // The digest left out exactly this range; a write anywhere else would
  // change what was signed.
  if (w.offset != written_.store_range->offset || w.stored.size() != written_.store_range->length)
    return FileError::of(FileError::Kind::Changed, name);
  if (auto put = out_->write_at(w.offset, w.stored); !put.ok()) return put;
  std::vector<std::uint8_t> back(w.stored.size());
  if (auto read = m.read_at(w.offset, back.data(), back.size()); !read.ok()) return read;
  if (!std::equal(back.begin(), back.end(), w.stored.begin())) return FileError::system(name, EIO);
  return done();
}

Outcome<Bytes> Pending::file_digest(const ProgressFn& progress) const {
  if (!out_) return FileError::of(FileError::Kind::NotRegular, "");
  auto image = out_->read_back();
  if (!image.ok()) return image.error();
  return data_hash(image.value(), digest::Algorithm::SHA256, std::vector<digest::Exclusion>{}, progress);
}

Done Pending::commit() {
  if (!out_) return done();
  Done committed = done();
  if (model_ && out_->entry_replaced())
    committed = FileError::of(FileError::Kind::Replaced, out_->name());
  else if (model_)
    committed = model_->check_unchanged();
  if (committed.ok()) committed = out_->commit();
  if (committed.ok()) dropped_set_id_ = out_->dropped_set_id();
  out_.reset();
  model_.reset();
  return committed;
}

}  // namespace tarnwick::file
