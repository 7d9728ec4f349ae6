#pragma once
// The operator of one calculation step. A one-character operator is its own
// character; the two-character ones have a letter of their own.
enum CalcOp : char {
  kCalcCopy = 0,          // no operator: the first operand itself
  kCalcAdd = '+',         // +
  kCalcSub = '-',         // - (one operand: negation)
  kCalcMul = '*',         // *
  kCalcDiv = '/',         // /
  kCalcMod = '%',         // %
  kCalcLess = '<',        // <
  kCalcGreater = '>',     // >
  kCalcLessEq = 'l',      // <=
  kCalcGreaterEq = 'g',   // >=
  kCalcEq = '=',          // == (and a lone = in a condition)
  kCalcNotEq = '#',       // !=
  kCalcAnd = 'a',         // &&
  kCalcOr = 'o',          // ||
  kCalcBitAnd = '&',      // &
  kCalcBitOr = '|',       // |
  kCalcBitXor = '^',      // ^
  kCalcShiftLeft = 'L',   // <<
  kCalcShiftRight = 'R',  // >> (a map on the left: removes the key)
  kCalcNot = '!',         // ! (one operand)
  kCalcComplement = '~',  // ~ (one operand)
  kCalcIndex = '[',       // a[b]: the element
};
