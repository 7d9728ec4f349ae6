#pragma once
// What kind of statement an operation is, fixed by the compiler. The values
// are the letters the kinds have always been stored as.
enum OpKind : char {
  kOpAssign = '=',      // assignment or expression statement: its result as an integer
  kOpOperation = 'g',   // built-in operation or library call: its result as an integer
  kOpValue = 'v',       // operation that leaves its value in its target; _retVal loads it
  kOpCall = 'R',        // script function call or "Eval(": the value is in _retVal
  kOpReturn = 'r',      // "return(": ends the body it is in
  kOpIf = 'i',          // "if("
  kOpElseIf = 'E',      // "else if("
  kOpElse = 'e',        // "else"
  kOpLoop = 'w',        // "while(" or "for("
  kOpSwitch = 's',      // "switch("
  kOpCase = 'c',        // "case("
  kOpDefault = 'd',     // "default("
  kOpBreak = 'b',       // "break;"
  kOpContinue = 'o',    // "continue;"
  kOpBlockOpen = '{',   // "{"
  kOpBlockClose = '}',  // "}"
  kOpClose = 'x',       // "Close(": the hang-up section
  kOpFunction = 'f',    // "function"
  kOpConst = 'n',       // "const"
};

// Where a main script's run is: the quit section once "OnSysQuit(" has run.
enum RunState : int {
  kRunMain = -1,        // the body, or the hang-up section
  kRunQuitSection = 7,  // past "OnSysQuit(": no quit or hang-up jump any more
};
