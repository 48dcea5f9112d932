#pragma once
// The page served for "/" and "/index.html", embedded at build time from index.html.
// Static storage; never freed.
extern const char* const PAGE_HTML;
extern const unsigned long long PAGE_HTML_LEN;
