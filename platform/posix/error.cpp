// Win32 error codes on POSIX: the Windows message texts and the errno mapping.
#include <cerrno>
#include <cstring>

#include "platform/authenticode.h"
#include "platform/error.h"
#include "platform/posix/errno_map.h"

namespace acdc::platform {

namespace {

struct Message {
  Win32Error code;
  const char* text;  // English text of the system message table, without its "\r\n"
};

// Every code in platform/error.h, so that triples read as they do on Windows. The texts
// are ASCII: one byte is one UTF-16 unit.
constexpr Message kMessages[] = {
    {kErrorSuccess, "The operation completed successfully."},
    {kErrorInvalidFunction, "Incorrect function."},
    {kErrorFileNotFound, "The system cannot find the file specified."},
    {kErrorPathNotFound, "The system cannot find the path specified."},
    {kErrorTooManyOpenFiles, "The system cannot open the file."},
    {kErrorAccessDenied, "Access is denied."},
    {kErrorInvalidHandle, "The handle is invalid."},
    {kErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {kErrorInvalidData, "The data is invalid."},
    {kErrorNotSameDevice, "The system cannot move the file to a different disk drive."},
    {kErrorWriteProtect, "The media is write protected."},
    {kErrorGenFailure, "A device attached to the system is not functioning."},
    {kErrorSharingViolation, "The process cannot access the file because it is being used by another process."},
    {kErrorHandleEof, "Reached the end of the file."},
    {kErrorNotSupported, "The request is not supported."},
    {kErrorFileExists, "The file exists."},
    {kErrorInvalidParameter, "The parameter is incorrect."},
    {kErrorBrokenPipe, "The pipe has been ended."},
    {kErrorDiskFull, "There is not enough space on the disk."},
    {kErrorInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorDirNotEmpty, "The directory is not empty."},
    {kErrorBusy, "The requested resource is in use."},
    {kErrorFilenameExcedRange, "The filename or extension is too long."},
    {kErrorMoreData, "More data is available."},
    {kWaitTimeout, "The wait operation timed out."},
    {kErrorSystemShutdown, "The system is in the process of shutting down."},
    {kErrorOperationAborted, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {kErrorIoPending, "Overlapped I/O operation is in progress."},
    {kErrorServiceAlreadyRunning, "An instance of the service is already running."},
    {kErrorIoDevice, "The request could not be performed because of an I/O device error."},
    {kErrorConnectionRefused, "The remote computer refused the network connection."},
    {kErrorRetry, "The operation could not be completed. A retry should be performed."},
    {kErrorInternalError, "An internal error occurred."},
    {kErrorTimeout, "This operation returned because the timeout period expired."},
    {kErrorCantResolveFilename, "The name of the file cannot be resolved by the system."},
    // Signatures and trust (platform/authenticode.h): the HRESULT-style codes of the
    // CRYPT32 and WINTRUST calls, each under its full 32-bit value.
    {0x80070057, "The parameter is incorrect."},  // E_INVALIDARG
    {kNteBadSignature, "Invalid Signature."},
    {kCryptEHashValue, "The hash value is not correct."},
    {kCryptEFileError, "An error occurred while reading or writing to a file."},
    {kCryptENotFound, "Cannot find object or property."},
    {kCryptENoMatch, "Cannot find the requested object."},
    {kCryptEBadMsg, "Not a cryptographic message or the cryptographic message is not formatted correctly."},
    {kCryptENoSigner, "The signed cryptographic message does not have a signer for the specified signer index."},
    {kCryptESecuritySettings, "The cryptographic operation failed due to a local security option setting."},
    {kCryptEAsn1Eod, "ASN1 unexpected end of data."},
    {kCryptEAsn1Corrupt, "ASN1 corrupted data."},
    {kCryptEAsn1BadTag, "ASN1 bad tag value met."},
    {kTrustESystemError, "A system-level error occurred while verifying trust."},
    {kTrustENoSignerCert, "The certificate for the signer of the message is invalid or not found."},
    {kTrustECounterSigner, "One of the counter signatures was invalid."},
    {kTrustECertSignature, "The signature of the certificate cannot be verified."},
    {kTrustETimeStamp, "The timestamp signature and/or certificate could not be verified or is malformed."},
    {kTrustEBadDigest, "The digital signature of the object did not verify."},
    {kTrustEBasicConstraints, "A certificate's basic constraint extension has not been observed."},
    {kTrustEFinancialCriteria, "The certificate does not meet or contain the Authenticode(tm) financial extensions."},
    {kTrustEProviderUnknown, "Unknown trust provider."},
    {kTrustEActionUnknown, "The trust verification action specified is not supported by the specified trust provider."},
    {kTrustESubjectFormUnknown,
     "The form specified for the subject is not one supported or known by the specified trust provider."},
    {kTrustESubjectNotTrusted, "The subject is not trusted for the specified action."},
    {kTrustENoSignature, "No signature was present in the subject."},
    {kCertEExpired,
     "A required certificate is not within its validity period when verifying against the current system clock or "
     "the timestamp in the signed file."},
    {kCertECritical, "A certificate contains an unknown extension that is marked 'critical'."},
    {kCertEUntrustedRoot,
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
     "provider."},
    {kCertEChaining, "A certificate chain could not be built to a trusted root authority."},
    {kTrustEFail, "Generic trust failure."},
    {kCertEWrongUsage, "The certificate is not valid for the requested usage."},
    {kTrustEExplicitDistrust, "The certificate was explicitly marked as untrusted by the user."},
};

struct ErrnoCode {
  int err;
  Win32Error code;
};

// Each errno maps to the code a Windows call fails with in the same situation. Linux
// defines ENOTSUP as EOPNOTSUPP; the repeated row costs nothing in a scan.
constexpr ErrnoCode kErrnoCodes[] = {
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {EACCES, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},  // Windows refuses to open a directory as a file with 5
    {EBADF, kErrorInvalidHandle},
    {ENOMEM, kErrorNotEnoughMemory},
    {EXDEV, kErrorNotSameDevice},
    {EROFS, kErrorWriteProtect},
    {ENOSYS, kErrorNotSupported},
    {EOPNOTSUPP, kErrorNotSupported},
    {ENOTSUP, kErrorNotSupported},
    {EEXIST, kErrorFileExists},
    {EINVAL, kErrorInvalidParameter},
    {ESRCH, kErrorInvalidParameter},  // OpenProcess on a pid that does not exist
    {EPIPE, kErrorBrokenPipe},
    {ECONNRESET, kErrorBrokenPipe},
    {ENOSPC, kErrorDiskFull},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {EBUSY, kErrorBusy},
    {ENAMETOOLONG, kErrorFilenameExcedRange},
    {ETIMEDOUT, kErrorTimeout},
    {ECANCELED, kErrorOperationAborted},
    {EIO, kErrorIoDevice},
    {ECONNREFUSED, kErrorConnectionRefused},
    {ELOOP, kErrorCantResolveFilename},
};

constexpr bool HasMessage(Win32Error code) {
  for (const Message& m : kMessages) {
    if (m.code == code) return true;
  }
  return false;
}

constexpr bool EveryMappedCodeHasMessage() {
  for (const ErrnoCode& e : kErrnoCodes) {
    if (!HasMessage(e.code)) return false;
  }
  return HasMessage(kErrorSuccess) && HasMessage(kErrorGenFailure);
}

static_assert(EveryMappedCodeHasMessage(), "a code TranslateErrno yields has no text");

}  // namespace

size_t OsSystemMessage(Win32Error code, char16_t* out, size_t cap) {
  for (const Message& m : kMessages) {
    if (m.code != code) continue;
    // As the system message table has it: the text, "\r\n" and the NUL.
    size_t n = std::strlen(m.text);
    if (n + 3 > cap) return 0;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(m.text[i]));
    out[n] = u'\r';
    out[n + 1] = u'\n';
    out[n + 2] = u'\0';
    return n + 2;
  }
  return 0;
}

Win32Error TranslateErrno(int err) {
  if (err == 0) return kErrorSuccess;
  for (const ErrnoCode& e : kErrnoCodes) {
    if (e.err == err) return e.code;
  }
  return kErrorGenFailure;
}

}  // namespace acdc::platform
