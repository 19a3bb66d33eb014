// The job options record: its defaults, the identity fields' narrow copy
// and the way back of what a validation run wrote.
#include "charconversions.h"
#include "umpd.h"

namespace {

// Sets a text field to text, leaving the units after its terminator as they are.
template <size_t N>
void SetText(WCHAR (&field)[N], const WCHAR* text)
{
    size_t i = 0;
    for (; text[i] && i + 1 < N; i++) field[i] = text[i];
    field[i] = 0;
}

}  // namespace

// Every field to its default; the reserved areas are not touched.
void SetDefaultPralixOptions(_OEM_PRIVDEVMODE* p)
{
    p->initialized = OPTIONS_VALID;
    p->spoolOptions = 0;
    p->rasterOption = 2;
    p->rasterOptionUI = 2;
    p->colorModel = 0;
    p->printerMode = 0;
    p->enableRGB = 1;
    p->bRenderingStyle = 0;
    p->bRGBStandard = 1;
    p->RGBRendering = 1;
    p->RGBGamma = 3;
    p->RGBWhitepoint = 2;
    p->pressSimulation = 0;
    p->enableCMYK = 1;
    p->pressProfile = 0;
    p->spotColor = 1;
    p->bPreserveGCR = 0;
    p->RGBProfile = 1;
    p->separations = 0;
    p->progressives = 0;
    p->autoGray = 1;
    p->controlStrip = 0;
    p->saveAsTIFF = 0;
    p->tiff_dpi = 0;
    p->edgeSmoothing = 0;
    p->blackOverPrints = 1;
    p->alternateBlack = 1;
    p->autoTED = 0;
    p->pralixProof = 0;
    p->invertImage = 0;
    p->imageEnhancement = 1;
    p->mirrorImage = 0;
    p->bPrintOutputSlug = 0;
    p->productionPrinting = 0;
    p->outputBin = 0;
    p->bypassOption = 5;
    p->duplex = 0;
    p->rotatePages = 0;
    p->sorter = 0;
    p->staplePosition = 0;
    p->staple = 0;
    p->faceup = 0;
    p->collate = 0;
    p->reversePrint = 0;
    p->productionMode = 0;
    p->bImposition = 0;
    p->sImpositionType = 0;
    p->sSectionSize = 3;
    p->sOutputPaperSize = 0;
    p->bCropMarks = 1;
    p->bScaleToFit = 0;
    p->bSecurePrintInvalid = 1;
    p->bInitialConnection = 1;
    SetText(p->ipAddress, TEXT("255.255.255.255"));
    SetText(p->docOwner, TEXT(""));
    SetText(p->password, TEXT(""));
    SetText(p->docComment, TEXT(""));
    SetText(p->accountNo, TEXT(""));
    SetText(p->securePassword, TEXT(""));
    SetText(p->printerName, TEXT(""));
    p->bUseSecurePassword = 0;
    p->bUseSecureAccessPassword = 0;
}

// The identity fields, wide to narrow; text that needs more bytes than its
// narrow field holds is cut at a character boundary.
void CopyIdentityToNarrow(IdentOptions* out, const _OEM_PRIVDEVMODE* in)
{
    tchar2char(out->docOwner, in->docOwner);
    tchar2char(out->password, in->password);
    tchar2char(out->docComment, in->docComment);
    tchar2char(out->accountNo, in->accountNo);
    tchar2char(out->ipAddress, in->ipAddress);
    tchar2char(out->norvikSecurePassword, in->securePassword);
    out->bInitialConnection = in->bInitialConnection;
    out->bUseSecureAccessPassword = in->bUseSecureAccessPassword;
    out->bUseSecurePassword = in->bUseSecurePassword;
    out->written = 0;
}

void ApplyWrittenIdentity(_OEM_PRIVDEVMODE* out, const IdentOptions* in)
{
    if (in->written & IDENT_WROTE_ADDRESS) char2tchar(out->ipAddress, in->ipAddress);
    if (in->written & IDENT_WROTE_FIRST_USE) out->bInitialConnection = in->bInitialConnection;
    if (in->written & IDENT_WROTE_IDENTITY) {
        char2tchar(out->docOwner, in->docOwner);
        char2tchar(out->password, in->password);
        char2tchar(out->accountNo, in->accountNo);
    }
}
