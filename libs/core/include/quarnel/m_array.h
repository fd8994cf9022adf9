// matrix<T>: the engine's row-major two-dimensional array with bounds-checked access.
//
// Element (i, j) is stored at position i * _cols + j of `_data`. The matrix owns its storage
// (array new / array delete); copies are deep. Thread safety: a plain value; concurrent
// reads are safe, any write needs the caller's exclusion.
//
// Invariants:
//  1. _size == _rows * _cols, and _data is null exactly when _size is 0.
//  2. operator()(i, j) with i >= _rows or j >= _cols writes the bounds error to standard
//     error and throws a heap-allocated std::runtime_error by pointer; the catcher owns
//     (and deletes) it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace quarnel {

template <class T>
class matrix {
 public:
  uint64_t _rows = 0;
  uint64_t _cols = 0;
  uint64_t _size = 0;
  T* _data = nullptr;

  constexpr matrix() = default;
  // A rows x cols matrix of value-initialised elements (zeros for numbers).
  matrix(uint64_t rows, uint64_t cols) { resize(rows, cols); }
  matrix(const matrix& other) { *this = other; }
  matrix(matrix&& other) noexcept { swap(other); }
  ~matrix() { release(); }

  matrix& operator=(const matrix& other) {
    if (this == &other) return *this;
    matrix copy;
    copy.resize(other._rows, other._cols);
    std::copy(other._data, other._data + other._size, copy._data);
    swap(copy);
    return *this;
  }
  matrix& operator=(matrix&& other) noexcept {
    matrix moved(std::move(other));
    swap(moved);
    return *this;
  }

  // Reshapes to rows x cols; elements inside both shapes keep their values, new ones are
  // value-initialised.
  void resize(uint64_t rows, uint64_t cols) {
    matrix fresh;
    fresh._rows = rows;
    fresh._cols = cols;
    fresh._size = rows * cols;
    if (fresh._size != 0) fresh._data = new T[fresh._size]();
    for (uint64_t i = 0; i < std::min(rows, _rows); ++i) {
      for (uint64_t j = 0; j < std::min(cols, _cols); ++j) fresh._data[i * cols + j] = _data[i * _cols + j];
    }
    swap(fresh);
  }

  T& operator()(uint64_t i, uint64_t j) {
    Check_Bounds(i, j);
    return _data[i * _cols + j];
  }
  const T& operator()(uint64_t i, uint64_t j) const {
    Check_Bounds(i, j);
    return _data[i * _cols + j];
  }

  void swap(matrix& other) noexcept {
    std::swap(_rows, other._rows);
    std::swap(_cols, other._cols);
    std::swap(_size, other._size);
    std::swap(_data, other._data);
  }

 private:
  void release() {
    if (_size != 0 && _data != nullptr) delete[] _data;
    _data = nullptr;
    _rows = _cols = _size = 0;
  }

  void Check_Bounds(uint64_t i, uint64_t j) const {
    if (i < _rows && j < _cols) return;
    std::stringstream message;
    message << "\nRUNTIME_ERROR: " << __FILE__ << " at " << __LINE__ << "\n\t"
            << "Error, index (" << i << "," << j << ") was outside of matrix bounds {" << _rows << ","
            << _cols << "}" << std::endl
            << std::endl;
    std::cerr << message.str();
    throw new std::runtime_error(message.str());
  }
};

}  // namespace quarnel
