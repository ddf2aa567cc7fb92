/*
 * win32_text.h - UTF-8 and the Windows wide-character API, for varlix-unpack's
 * Windows files alone.
 */
#ifndef VARLIX_UNPACK_WIN32_TEXT_H
#define VARLIX_UNPACK_WIN32_TEXT_H

#include <string>

#include <windows.h>

/* unpack_win32_wide() - the UTF-8 @text in UTF-16. */
std::wstring unpack_win32_wide(const std::string &text);

/*
 * unpack_win32_narrow() - the @length UTF-16 units at @text in @code_page.
 * *@lossless, when given, tells whether every character had an equivalent.
 */
std::string unpack_win32_narrow(const wchar_t *text, int length, UINT code_page, bool *lossless);

#endif
