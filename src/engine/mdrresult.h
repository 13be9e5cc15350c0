// The outcome of the best-set search for one combination order.
#ifndef GORVA_ENGINE_MDRRESULT_H
#define GORVA_ENGINE_MDRRESULT_H

// Combination texts hold at least this many bytes; longer ones are sized by
// combinationTextCapacity() so that high orders never overflow.
constexpr int kCombinationTextBytes = 255;

// Bytes needed for the text ",i1,i2,...,ik," of k indices below marker_count,
// terminator included, never less than kCombinationTextBytes.
int combinationTextCapacity(int max_order, int marker_count);

// The marker index after the position-th comma of a combination text (0
// when the text has fewer commas).
int combinationTextMarker(const char* text, int position);

class MDRResult {
 public:
  // Highest order, first order, folds, rows per fold, row capacity, testing
  // method code, seventh code; text_bytes sizes each combination text.
  MDRResult(int max_order, int init_order, int fold_count, int fold_rows, int row_count,
            int testing_method, int aux_code, int text_bytes = kCombinationTextBytes);
  ~MDRResult();
  MDRResult(const MDRResult&) = delete;
  MDRResult& operator=(const MDRResult&) = delete;

  // False when one of the arrays could not be allocated; such a record
  // still destroys cleanly.
  bool allocated() const { return allocated_; }
  int textBytes() const { return text_bytes_; }

  int max_order;
  int init_order;
  int fold_count;
  int fold_rows;
  int row_count;
  int fold_pair_count;
  int testing_method;
  int aux_code;
  double** fold_measures;
  char*** fold_combinations;
  int* fold_row_count;
  int* snp_index;
  double* p_value;
  double* rig;
  double* ig;

 private:
  int table_count_;  // folds that own tables: max(1, fold_count)
  int text_bytes_;
  bool allocated_;
};

#endif  // GORVA_ENGINE_MDRRESULT_H
