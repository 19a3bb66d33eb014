// A dialog template in the platform's format (DLGTEMPLATE and its items),
// read from a module's compiled resources. Used by the stand-in's window
// manager and by the tests that check the templates on both builds.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

typedef std::basic_string<WCHAR> TemplateText;

struct DialogItem {
    DWORD style, exStyle;
    short x, y, cx, cy;
    WORD id;
    TemplateText className;  // a predefined class given by atom reads as its name ("BUTTON", ...)
    TemplateText text;
};

struct DialogTemplate {
    DWORD style, exStyle;
    short x, y, cx, cy;
    TemplateText caption;
    WORD pointSize;  // with DS_SETFONT
    TemplateText font;
    std::vector<DialogItem> items;
};

// in: the template's bytes; out: the template. False when the bytes are not
// a well-formed classic template (an extended DLGTEMPLATEEX included).
bool ParseDialogTemplate(const BYTE* data, size_t size, DialogTemplate* out);

// The template `id` of a loaded module, through the platform's resource calls.
bool LoadDialogTemplate(HMODULE module, WORD id, DialogTemplate* out);
