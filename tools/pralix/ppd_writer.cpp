// pralix-ppd: writes the PostScript PPD of a CUPS queue for the print
// server, its options taken from the tables that write the job ticket (an
// option added to the ticket is an option of the queue). Run at build time.
//   pralix-ppd FILE
#include "umpd.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const char HEADER[] =
    "*PPD-Adobe: \"4.3\"\n"
    "*FormatVersion: \"4.3\"\n"
    "*FileVersion: \"1.0\"\n"
    "*LanguageVersion: English\n"
    "*LanguageEncoding: ISOLatin1\n"
    "*PCFileName: \"PRALIX.PPD\"\n"
    "*Manufacturer: \"Pralix\"\n"
    "*Product: \"(Pralix)\"\n"
    "*ModelName: \"Pralix print server\"\n"
    "*ShortNickName: \"Pralix print server\"\n"
    "*NickName: \"Pralix print server (secure access)\"\n"
    "*PSVersion: \"(3010.000) 0\"\n"
    "*LanguageLevel: \"3\"\n"
    "*ColorDevice: True\n"
    "*DefaultColorSpace: CMYK\n"
    "*FileSystem: False\n"
    "*Throughput: \"1\"\n"
    "*TTRasterizer: Type42\n"
    "*cupsVersion: 2.4\n"
    "*cupsFilter2: \"application/vnd.cups-postscript application/vnd.cups-postscript 0 -\"\n"
    "*cupsJobAccountId: True\n"
    "*cupsJobPassword: \"11111111\"\n"
    "*DefaultResolution: 600dpi\n";

// Page sizes: name, width and height in points.
struct Page {
    const char* name;
    int width, height;
};
const Page PAGES[] = {{"Letter", 612, 792}, {"Legal", 612, 1008}, {"Tabloid", 792, 1224},
                      {"A4", 595, 842},     {"A3", 842, 1191}};

// CUPS's own names for the standard options' choices, and on/off as True/False.
struct Rename {
    const char *key, *ticket, *cups;
};
const Rename RENAMES[] = {
    {"Duplex", "off", "None"}, {"Duplex", "LongEdgeBinding", "DuplexNoTumble"},
    {"Duplex", "ShortEdgeBinding", "DuplexTumble"}, {nullptr, "on", "True"}, {nullptr, "off", "False"},
};

const int TRAYS = 10;  // the numeric option's choices: 0 to 9

struct Option {
    std::string key, defaultChoice;
    std::vector<std::pair<std::string, std::string>> choices;  // name, text
    std::set<std::string> names;
};

// A choice's name in the PPD: CUPS's where it has one, else the ticket's
// text without its spaces (a PPD name has none).
std::string NameOf(const std::string& key, const std::string& choice)
{
    for (const Rename& r : RENAMES)
        if ((!r.key || key == r.key) && choice == r.ticket) return r.cups;
    std::string name;
    for (char c : choice)
        if (c != ' ') name += c;
    return name;
}

void Collect(void* context, const char* key, const char* choice, bool isDefault, bool isNumber)
{
    auto& options = *static_cast<std::vector<Option>*>(context);
    if (options.empty() || options.back().key != key) options.push_back(Option{key, "", {}, {}});
    Option& o = options.back();
    if (isNumber) {
        for (int i = 0; i < TRAYS; i++) o.choices.push_back({std::to_string(i), std::to_string(i)});
        o.defaultChoice = choice;
        return;
    }
    std::string name = NameOf(key, choice);
    if (!o.names.insert(name).second) return;  // two values with one text
    o.choices.push_back({name, choice});
    if (isDefault) o.defaultChoice = name;
}

void WritePages(FILE* f)
{
    const char* uis[] = {"PageSize", "PageRegion"};
    for (const char* ui : uis) {
        fprintf(f, "*OpenUI *%s: PickOne\n*OrderDependency: 10 AnySetup *%s\n*Default%s: Letter\n", ui, ui, ui);
        for (const Page& p : PAGES)
            fprintf(f, "*%s %s: \"<</PageSize[%d %d]/ImagingBBox null>>setpagedevice\"\n", ui, p.name, p.width, p.height);
        fprintf(f, "*CloseUI: *%s\n", ui);
    }
    fprintf(f, "*DefaultImageableArea: Letter\n");
    for (const Page& p : PAGES) fprintf(f, "*ImageableArea %s: \"18 18 %d %d\"\n", p.name, p.width - 18, p.height - 18);
    fprintf(f, "*DefaultPaperDimension: Letter\n");
    for (const Page& p : PAGES) fprintf(f, "*PaperDimension %s: \"%d %d\"\n", p.name, p.width, p.height);
}

// An option the defaults give no line (the resolution while SaveAsTIFF is
// off) defaults to its first choice.
void WriteOption(FILE* f, const Option& o)
{
    std::string defaultChoice = o.defaultChoice.empty() ? o.choices.front().first : o.defaultChoice;
    fprintf(f, "*OpenUI *%s/%s: PickOne\n*OrderDependency: 20 AnySetup *%s\n*Default%s: %s\n", o.key.c_str(),
            o.key.c_str(), o.key.c_str(), o.key.c_str(), defaultChoice.c_str());
    // The job ticket carries the choice: no PostScript of the option's own.
    for (const auto& c : o.choices) fprintf(f, "*%s %s/%s: \"\"\n", o.key.c_str(), c.first.c_str(), c.second.c_str());
    fprintf(f, "*CloseUI: *%s\n", o.key.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf("usage: pralix-ppd FILE\n");
        return 0;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: pralix-ppd FILE\n");
        return 1;
    }
    std::vector<Option> options;
    ForEachTicketChoice(Collect, &options);
    FILE* f = fopen(argv[1], "w");
    if (!f) {
        fprintf(stderr, "pralix-ppd: cannot write %s\n", argv[1]);
        return 1;
    }
    fputs(HEADER, f);
    WritePages(f);
    fprintf(f, "*DefaultFont: Courier\n*Font Courier: Standard \"(002.004S)\" Standard ROM\n");
    for (const Option& o : options) WriteOption(f, o);
    return fclose(f) == 0 ? 0 : 1;
}
