#pragma once
// Lexical routines of the script compiler. Texts are GB bytes; a byte is
// syntax whenever it equals one of the ASCII characters a routine looks for,
// also as the second byte of a double-byte character (so a trail byte 0x5C
// inside a string escapes the next byte, as scripts have always been read).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/calcop.h"

class TagCompileDiag;

// One operand of a simple expression.
struct TagOperand {
  enum Kind : int { kEmpty = -1, kName = 0, kString = 1, kInteger = 2, kReal = 3 };
  int kind = kEmpty;
  std::string text;  // a string literal without its quotes, escapes resolved
};

// Shapes of a statement (ClassifyStatement).
enum ShapeClass : int {
  kShapeOther = 0,
  kShapeCall = 1,          // name(
  kShapeCallAssign = 2,    // x = name(   x[i] = name(
  kShapeAssign = -1,       // x =   x[i] =
  kShapeTwoWords = -2,     // const x =
  kShapeIncDec = -3,       // x+...  x-...  +...  -...
};

// Argument splitting: at most this many arguments.
inline constexpr int kMaxArgs = 40;
// Terminator meaning "the end of the text".
inline constexpr char kEndOfText = '\0';

// Past leading blanks, tabs and "=" signs.
std::string_view SkipBlanksAndEquals(std::string_view text);
// Cuts trailing blanks, tabs, LF and CR.
void TrimRight(std::string& text);
// Removes every blank and tab before the first LF; the LF and what follows stay.
void RemoveBlanks(std::string& text);
// Empty or only blanks and tabs.
bool IsBlankText(std::string_view text);
// What may follow "{" or "}" on its line: blanks and tabs, then the end, a
// line end or a comment.
bool IsRestBlank(std::string_view text);

// Start of a statement: skips blanks and block comments (tracked on the
// comment stack of the file). Returns the offset where the statement begins,
// kNoStatement when the line holds nothing to compile, or kStrayCommentEnd
// after reporting a "*/" that closes nothing (the statement then fails).
inline constexpr long kNoStatement = -1;
inline constexpr long kStrayCommentEnd = -2;
long SkipLeadingComments(TagCompileDiag& diag, std::string_view text, int line);

// A "//", "/*", "*/" or LF in the text: without one, StripComments changes
// nothing.
bool HasCommentMarkOrLineEnd(std::string_view text);

// Removes the comments of a statement: "//" to the end of the line, block
// comments opened here (closed on this line or later). Code after a "*/" on
// the same line stays part of the statement. comment receives the last
// comment's text. With cut set the statement also ends at a LF outside
// strings. Returns the comment's length, or -1 after reporting a stray "*/".
int StripComments(TagCompileDiag& diag, std::string& text, std::string& comment, int line, bool cut);

// Coarse shape of a statement; name, index text and the offset just past "="
// where the class gives them.
int ClassifyStatement(std::string_view text, size_t& offset, std::string& name, std::string& index);
// The shape alone.
int ClassifyStatement(std::string_view text, size_t& offset);

// x++, ++x, x ++, x--;  gives true with the name and '+' or '-'. A bad name is
// reported ("自加或自减的变量名不合法") and gives false.
bool ParseIncDec(TagCompileDiag& diag, int line, std::string_view text, std::string& name, char& op);

// The target before the first "=": its length, 0 without "=", -1 when it
// begins with a quote or a digit, -2 for a bad name. index keeps its "]".
int SplitAssignTarget(std::string_view text, std::string& name, std::string& index);

bool IsValidName(std::string_view text);

// The name before the first "(" (blanks removed) and the text after it; -1
// without "(".
int SplitCallName(std::string_view text, std::string& name, std::string& rest);

// Splits argument texts at separator (',', ';', '+', or ' ' for blanks and
// tabs) up to terminator (')' or kEndOfText: the end of the text, a closing
// ")" and ";" being cut from the last argument; or ';'). Returns the count, or
// -1 empty argument, -2 terminator missing, -3 string not ended, -4 more than
// maximum arguments, -5 a brace outside strings. Texts may be of any length.
int SplitArgs(std::string_view text, int maximum, std::vector<std::string>& args, char separator,
              char terminator);
// The same as views of text.
int SplitArgs(std::string_view text, int maximum, std::vector<std::string_view>& args, char separator,
              char terminator);

// At most two operands and one operator. The operator comes back as its
// CalcOp (kCalcEq for both = and ==). Returns 0, or -1 more than one
// operator, -2 string not ended, -3 unsupported operator, -4 operator
// missing, -5 syntax error; message then holds the text (GB bytes).
int ParseSimpleExpression(TagOperand& first, char& op, TagOperand& second, std::string_view text,
                          std::string& message);
