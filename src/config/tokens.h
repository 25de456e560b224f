// tokens.h -- splitting configuration lines into tokens at the configuration delimiters.
#pragma once

/// True for the eight configuration delimiters: space, BEL, BS, TAB, LF, VT, FF and CR.
bool isConfigDelimiter(char c);

/// Takes the next token from |text|, zero-terminating it in place. The one delimiter that ends
/// it is consumed; |*remainder| points at what follows (the empty text at the end).
/// Returns null, and sets |*remainder| to the end, when only delimiters are left.
char* takeToken(char* text, char** remainder);
