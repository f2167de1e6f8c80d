#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/file_io.h"
#include "core/stage_host.h"

namespace vantrel {

// Where a final writer writes before its product is whole: a fixed name in the working folder
// (one run at a time holds the folder), removed by the next run if a killed run left it.
inline constexpr std::string_view kProductTempName = ".vantrel-product.tmp";

// The product of a final writer. It is written to the temporary file and moved onto its name
// only when whole and holding at least one line: an earlier product of that name stays until a
// better one replaces it, and no empty or partial product ever stands under the name. The move
// is a rename, which replaces a link at the name instead of writing through it.
class ProductFile {
 public:
  explicit ProductFile(std::string product_path);
  // Removes the temporary file unless the product was kept (a failed or stopped run).
  ~ProductFile();
  ProductFile(const ProductFile&) = delete;
  ProductFile& operator=(const ProductFile&) = delete;

  const std::string& Path() const { return path_; }
  OutputFile& Output() { return output_; }

  // Creates the temporary product; a product name taken by a folder or special file ends the run
  // before anything is written. `input` is the writer's, closed on failure.
  void Open(StageHost& host, InputFile& input);
  // Names the product anew (a product named from its data learns its name only from the data);
  // the name is checked as Open checks it.
  void Rename(StageHost& host, std::string product_path);

 private:
  friend void FinishProduct(StageHost&, InputFile&, ProductFile&, int64_t, const std::string&,
                            std::string_view, bool);
  bool Keep();
  void Discard();
  // Why the product's name cannot be used, or empty.
  std::string NameProblem() const;

  std::string path_;
  std::string temp_path_;
  std::string error_;
  OutputFile output_;
  bool kept_ = false;
};

// The one ending of the three final writers. Closes both files and logs the writer's done line;
// then keeps the product when it is whole with at least one line and logs where it is and the
// DONE banner (an empty line after it when `blank_after_banner`). A product with no line is not
// written and the log says so; one that is incomplete, or cannot be put in place, ends the run.
// Sets LastLineCount to the lines kept (0 for none).
void FinishProduct(StageHost& host, InputFile& input, ProductFile& product, int64_t lines,
                   const std::string& done_line, std::string_view banner, bool blank_after_banner);

}  // namespace vantrel
