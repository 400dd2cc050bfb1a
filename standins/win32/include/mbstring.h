// Native stand-in for the multibyte string search of the C runtime. The process code page
// modelled here is 1252, which has no lead bytes, so the search steps byte by byte.
#pragma once

unsigned char* _mbsstr(const unsigned char* str, const unsigned char* substr);
