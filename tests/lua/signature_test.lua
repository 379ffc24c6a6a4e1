-- GetSignedFileInfo and WinVerifyTrust of module ac on the signed files that
-- tests/signing/make_fixtures.sh makes for the run, in the folder ACDC_SIGNING names,
-- and on Debian's signed grub image.
--
-- Under Wine the system's own crypt32 and wintrust answer, and Wine's differ from
-- Windows' where these cases look, so those carry #linux and run on Linux alone:
-- Wine trusts every chain it is shown (untrusted, expired, wrong usage), refuses
-- publisher information it cannot decode with TRUST_E_CERT_SIGNATURE, answers a
-- missing file with its file-system code (WinVerifyTrust's result 2, and
-- CRYPT_E_NO_MATCH from CryptQueryObject), decodes an IA5String program name or file
-- link as UTF-16, quotes some values with inner spaces, leaves the last error of an
-- earlier call after a trusted verdict, and has no core library for the hex fields.
-- What runs under Wine checks the library's own part: the calls named in the
-- triples, the serial's byte order, the link choices kept and the Base64 text.
local ac = require "ac"

local dir = assert(os.getenv("ACDC_SIGNING"), "ACDC_SIGNING names the folder of the signing fixtures")
local windows = package.config:sub(1, 1) == "\\"

local function pack(...) return { n = select("#", ...), ... } end

local raises = require("testlib").raises

-- The fixture `name` as the library is asked for it: a host path on Linux, Wine's
-- drive Z: on Windows.
local function fixture(name)
  local p = dir .. "/" .. name
  if windows then p = "Z:" .. p:gsub("/", "\\") end
  return p
end

local function read(name)
  local f = assert(io.open(fixture(name), "rb"))
  local text = f:read("*a")
  f:close()
  return text
end

-- What the core library's hex rendering gives; Wine has no core library, so there the
-- rendering is empty.
local function hex(text)
  return windows and "" or text
end

-- The PEM text of a fixture certificate with Windows' CRLF line ends.
local function pem(name)
  return (read(name .. ".pem"):gsub("\r?\n", "\r\n"))
end

-- "SHA1 Fingerprint=AB:CD:..." as openssl printed it, without the colons.
local function thumbprint(name)
  return hex((read(name .. ".sha1"):match("=([%x:]+)"):gsub(":", "")))
end

-- System texts are Windows' own; Wine's differ, so there only the shape is checked.
local function same_text(want, got, context)
  if windows then
    assert.is_string(got, context)
  else
    assert.are.equal(want, got, context)
  end
end

local LEAF_SUBJECT = "C=DE, O=acdc Test Signer, CN=acdc Test Code Signing"
-- Quoted values, doubled quotes, a multi-valued RDN, and Windows' E and S keys.
local NAMES_SUBJECT = 'C=US, S="Some, State", L=Springfield, O="Test ""Quoted"" Org", OU=Unit One + OU=Unit Two, '
  .. "CN=Names Leaf, E=names@example.test"

-- The code-signing leaf: serial 0x8A1B2C3D, whose DER carries a 00 sign byte.
local function leaf_certificate()
  return {
    serialNumberBinary = "\0\x8A\x1B\x2C\x3D", serialNumber = hex("00 8a 1b 2c 3d"),
    issuer = "O=acdc Test, CN=acdc Test Intermediate", subject = LEAF_SUBJECT,
    thumbprintSha1 = thumbprint("leaf"), certificate = pem("leaf"),
  }
end

local CERT_E_EXPIRED = -2146762495        -- 0x800B0101
local CERT_E_UNTRUSTEDROOT = -2146762487  -- 0x800B0109
local CERT_E_CHAINING = -2146762486       -- 0x800B010A
local CERT_E_WRONG_USAGE = -2146762480    -- 0x800B0110

local texts = {
  [0] = "The operation completed successfully.",
  [ac.TRUST_E_NOSIGNATURE] = "No signature was present in the subject.",
  [ac.TRUST_E_SUBJECT_FORM_UNKNOWN] =
    "The form specified for the subject is not one supported or known by the specified trust provider.",
  [ac.TRUST_E_BAD_DIGEST] = "The digital signature of the object did not verify.",
  [ac.TRUST_E_NO_SIGNER_CERT] = "The certificate for the signer of the message is invalid or not found.",
  [CERT_E_EXPIRED] = "A required certificate is not within its validity period when verifying against the "
    .. "current system clock or the timestamp in the signed file.",
  [CERT_E_UNTRUSTEDROOT] =
    "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider.",
  [CERT_E_CHAINING] = "A certificate chain could not be built to a trusted root authority.",
  [CERT_E_WRONG_USAGE] = "The certificate is not valid for the requested usage.",
}

-- WinVerifyTrust's four results against the result and last error expected.
local function verifies(file, result, last_error, flags)
  local got = pack(ac.WinVerifyTrust(fixture(file), flags))
  local context = file .. " with flags " .. tostring(flags)
  assert.are.equal(4, got.n, context)
  assert.are.equal(result == 0, got[1], context)
  assert.are.equal(result, got[2], context)
  -- Wine leaves the last error of an earlier call after a trusted verdict.
  if not (windows and result == 0) then assert.are.equal(last_error or result, got[3], context) end
  same_text(texts[result], got[4], context)
end

local H = ac.WTD_HASH_ONLY_FLAG

describe("WinVerifyTrust", function()
  -- Rows of file, result, last error when it is not the result, flags.
  local function each(rows)
    for _, r in ipairs(rows) do verifies(r[1], r[2], r[3], r[4]) end
  end

  it("trusts a good chain whatever the publisher information, and names each refusal", function()
    each {
      { "signed.exe", 0 }, { "names.exe", 0 }, { "links.exe", 0 }, { "moniker.exe", 0 }, { "no-opus.exe", 0 },
      { "unsigned.exe", ac.TRUST_E_NOSIGNATURE }, { "not-a-pe.txt", ac.TRUST_E_SUBJECT_FORM_UNKNOWN },
      { "changed.exe", ac.TRUST_E_BAD_DIGEST }, { "no-signer-cert.exe", ac.TRUST_E_NO_SIGNER_CERT },
    }
  end)

  it("judges the chain, then the times, then the usage, and cut, missing or forged files #linux", function()
    each {
      { "empty-opus.exe", 0 }, { "malformed.exe", 0 },  -- publisher information that is empty or does not decode
      { "missing.exe", ac.TRUST_E_NOSIGNATURE, 2 },      -- the file system's code as last error
      { "cut-headers.exe", ac.TRUST_E_SUBJECT_FORM_UNKNOWN }, { "cut-table.exe", ac.TRUST_E_NOSIGNATURE },
      { "bad-signature.exe", ac.TRUST_E_BAD_DIGEST },
      { "chaining.exe", CERT_E_CHAINING }, { "untrusted.exe", CERT_E_UNTRUSTEDROOT },
      { "expired.exe", CERT_E_EXPIRED }, { "usage.exe", CERT_E_WRONG_USAGE },
    }
  end)

  it("checks the digest and the signature alone with WTD_HASH_ONLY_FLAG #linux", function()
    each {
      { "signed.exe", 0, nil, H }, { "chaining.exe", 0, nil, H }, { "untrusted.exe", 0, nil, H },
      { "expired.exe", 0, nil, H }, { "usage.exe", 0, nil, H }, { "changed.exe", ac.TRUST_E_BAD_DIGEST, nil, H },
      { "bad-signature.exe", ac.TRUST_E_BAD_DIGEST, nil, H }, { "unsigned.exe", ac.TRUST_E_NOSIGNATURE, nil, H },
    }
  end)

  it("takes the flags through the number conversion, and anything else as 0 #linux", function()
    -- Lifetime signing asks for the current clock, which the times are judged against anyway.
    each {
      { "chaining.exe", 0, nil, "512" }, { "chaining.exe", 0, nil, 2 ^ 32 + 512 }, { "chaining.exe", 0, nil, 512.9 },
      { "chaining.exe", CERT_E_CHAINING, nil, "hash only" }, { "chaining.exe", CERT_E_CHAINING, nil, {} },
      { "expired.exe", CERT_E_EXPIRED, nil, ac.WTD_LIFETIME_SIGNING_FLAG },
    }
  end)

  it("reads a Win32 path through the drive mapping, whatever its case #linux", function()
    local drive_c = assert(os.getenv("ACDC_DRIVE_C"))
    local copy = assert(io.open(drive_c .. "/Signed Copy.EXE", "wb"))
    copy:write(read("signed.exe"))
    copy:close()
    assert.are.same({ n = 4, true, 0, 0, texts[0] }, pack(ac.WinVerifyTrust("C:\\signed copy.exe")))
    os.remove(drive_c .. "/Signed Copy.EXE")
    assert.are.same({ n = 4, false, ac.TRUST_E_NOSIGNATURE, 5, texts[ac.TRUST_E_NOSIGNATURE] },
      pack(ac.WinVerifyTrust(dir)))
  end)

  it("refuses a path that is not a string", function()
    raises("bad argument #1 to 'WinVerifyTrust' (string expected, got no value)", function() ac.WinVerifyTrust() end)
    raises("bad argument #1 to 'WinVerifyTrust' (string expected, got table)", function() ac.WinVerifyTrust({}) end)
  end)
end)

describe("GetSignedFileInfo", function()
  it("gives the publisher information's name and URL or file links, leaves a moniker out, and the signer #linux",
    function()
      local leaf = leaf_certificate()
      local names = {
        serialNumberBinary = "\x7F", serialNumber = hex("7f"), issuer = leaf.issuer, subject = NAMES_SUBJECT,
        thumbprintSha1 = thumbprint("names"), certificate = pem("names"),
      }
      local name, more = "acdc fixture", "https://more.example.test/info"  -- as osslsigncode writes them
      for file, want in pairs {
        ["signed.exe"] = { programName = name, moreInfoLink = more, signerCertificate = leaf },
        ["names.exe"] = { programName = name, moreInfoLink = more, signerCertificate = names },
        ["links.exe"] = { programName = "Fixture Program", publisherLink = "https://publisher.example.test/",
                          moreInfoLink = "C:\\docs\\more-info.txt", signerCertificate = leaf },
        ["moniker.exe"] = { programName = "Moniker Program", publisherLink = "\\\\server\\share\\publisher.txt",
                            signerCertificate = leaf },
        ["no-opus.exe"] = { signerCertificate = leaf }, ["empty-opus.exe"] = { signerCertificate = leaf },
      } do
        assert.are.same(want, ac.GetSignedFileInfo(fixture(file)), file)
      end
    end)

  it("gives the signer of a signature the trust provider refuses #linux", function()
    local info = ac.GetSignedFileInfo(fixture("expired.exe"))
    assert.are.equal("CN=acdc Expired Signer, O=acdc Test", info.signerCertificate.subject)
    assert.are.equal("\x10\x00", info.signerCertificate.serialNumberBinary)
    assert.are.equal(pem("expired"), info.signerCertificate.certificate)
    info = ac.GetSignedFileInfo(fixture("untrusted.exe"))
    assert.are.equal("O=Nobody, CN=Untrusted Root", info.signerCertificate.issuer)
    assert.are.equal(thumbprint("stranger"), info.signerCertificate.thumbprintSha1)
  end)

  -- nil, the code as an unsigned number, "<function>() failed: 0x<CODE> (<text>)".
  local function fails(file, function_name, code, text)
    local got = pack(ac.GetSignedFileInfo(fixture(file)))
    assert.are.equal(3, got.n, file)
    assert.is_nil(got[1], file)
    assert.are.equal(code, got[2], file)
    local prefix = ("%s() failed: 0x%X ("):format(function_name, code)
    same_text(prefix .. text .. ")", got[3], file)
    assert.are.equal(prefix, got[3]:sub(1, #prefix), file)
  end
  local NOT_FOUND, NO_OBJECT = "Cannot find the requested object.", "Cannot find object or property."

  it("fails in CryptQueryObject without a signature, and in CertFindCertificateInStore without its signer",
    function()
      fails("unsigned.exe", "CryptQueryObject", 2148081673, NOT_FOUND)
      fails("not-a-pe.txt", "CryptQueryObject", 2148081673, NOT_FOUND)
      fails("no-signer-cert.exe", "CertFindCertificateInStore", 2148081668, NO_OBJECT)
    end)

  it("fails in CryptQueryObject for a cut image, and with the file system's code for a missing one #linux",
    function()
      fails("cut-table.exe", "CryptQueryObject", 2148081673, NOT_FOUND)
      fails("cut-headers.exe", "CryptQueryObject", 2148081673, NOT_FOUND)
      fails("missing.exe", "CryptQueryObject", 2, "The system cannot find the file specified.")
    end)

  it("reads the serial most significant byte first, the PEM text with CRLF, and keeps URL and file links",
    function()
      local signed = ac.GetSignedFileInfo(fixture("signed.exe")).signerCertificate
      local names = ac.GetSignedFileInfo(fixture("names.exe")).signerCertificate
      local links = ac.GetSignedFileInfo(fixture("links.exe"))
      assert.are.same(
        { "\0\x8A\x1B\x2C\x3D", pem("leaf"), LEAF_SUBJECT, "\x7F", NAMES_SUBJECT,
          "Fixture Program", "https://publisher.example.test/", "C:\\docs\\more-info.txt" },
        { signed.serialNumberBinary, signed.certificate, signed.subject, names.serialNumberBinary, names.subject,
          links.programName, links.publisherLink, links.moreInfoLink })
      assert.is_nil(ac.GetSignedFileInfo(fixture("moniker.exe")).moreInfoLink)
    end)

  it("refuses a path that is not a string", function()
    raises("bad argument #1 to 'GetSignedFileInfo' (string expected, got nil)",
      function() ac.GetSignedFileInfo(nil) end)
  end)
end)

describe("publisher information that does not decode #linux", function()
  local corelib
  setup(function() corelib = require "corelib" end)

  -- The source line of the log call, read from the source the record names.
  local function log_line()
    local n = 0
    for line in io.lines("ac/ac-Windows/signatures.cpp") do
      n = n + 1
      if line:find("core::LogError(", 1, true) then return n end
    end
  end

  it("is logged at error level with its code, and the signer is still given", function()
    corelib.capture(true)
    corelib.clear_records()
    local info = ac.GetSignedFileInfo(fixture("malformed.exe"))
    local records = corelib.records()
    corelib.clear_records()
    corelib.capture(false)
    assert.are.same({ signerCertificate = leaf_certificate() }, info)
    assert.are.same({ {
      level = "error", source = "ac-Windows", line = log_line(), ["function"] = "GetProgAndPublisherInfo",
      sys_error = 0x8009310B, message = "CryptDecodeObjectEx failed for file '" .. fixture("malformed.exe") .. "'",
    } }, records)
  end)

  it("is logged whether or not the component is traced, and only then", function()
    corelib.capture(true)
    corelib.trace("ac-Windows", true)
    corelib.clear_records()
    ac.GetSignedFileInfo(fixture("signed.exe"))
    ac.WinVerifyTrust(fixture("malformed.exe"))
    assert.are.same({}, corelib.records())
    corelib.trace("ac-Windows", false)
    corelib.capture(false)
  end)
end)

describe("Debian's signed grub image #linux", function()
  local image = fixture("gcdx64.efi.signed")

  local function openssl(args)
    local p = assert(io.popen("openssl " .. args .. " 2>&1"))
    local out = p:read("*a")
    p:close()
    return out
  end

  -- Windows' key names for the short names openssl prints.
  local keys = { ST = "S", emailAddress = "E", serialNumber = "SERIALNUMBER", street = "STREET", title = "T",
                 GN = "G", initials = "I" }
  local function windows_name(line)
    local name = assert(line:match("^%a+=(.-)\n?$"), line)
    -- Both write "key=value" joined by ", " and " + "; the forms part where a value
    -- needs quoting, which no value here may then need.
    for value in (name .. ", "):gmatch("%a+=(.-), ") do
      assert.is_nil(value:find('[,+="<>#;\\\r\n]'), value)
      assert.is_nil(value:find("^%s"), value)
      assert.is_nil(value:find("%s$"), value)
    end
    return (name:gsub("(%a+)=", function(k) return (keys[k] or k) .. "=" end))
  end

  it("gives the signer fields openssl prints for the signature's one certificate", function()
    local certs = openssl("pkcs7 -print_certs -in " .. fixture("gcdx64.sig.pem"))
    local pems = {}
    for block in certs:gmatch("%-%-%-%-%-BEGIN CERTIFICATE%-%-%-%-%-\n.-%-%-%-%-%-END CERTIFICATE%-%-%-%-%-\n") do
      pems[#pems + 1] = block
    end
    assert.are.equal(1, #pems, certs)
    local file = os.tmpname()
    local f = assert(io.open(file, "wb"))
    f:write(pems[1])
    f:close()
    local serial = openssl("x509 -noout -serial -in " .. file):match("serial=(%x+)")
    local sha1 = openssl("x509 -noout -fingerprint -sha1 -in " .. file):match("=([%x:]+)"):gsub(":", "")
    local nameopt = " -nameopt utf8,sep_comma_plus_space,sname,esc_2253 -in " .. file
    local subject = windows_name(openssl("x509 -noout -subject" .. nameopt))
    local issuer = windows_name(openssl("x509 -noout -issuer" .. nameopt))
    os.remove(file)

    local binary = serial:gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end)
    -- DER keeps a 00 sign byte before a first byte of 0x80 or more; so does the result.
    if binary:byte(1) >= 0x80 then binary = "\0" .. binary end
    local spaced = binary:gsub(".", function(c) return ("%02x "):format(c:byte()) end):sub(1, -2)
    assert.are.same({
      signerCertificate = {
        serialNumberBinary = binary, serialNumber = spaced, issuer = issuer, subject = subject,
        thumbprintSha1 = sha1, certificate = (pems[1]:gsub("\n", "\r\n")),
      },
    }, ac.GetSignedFileInfo(image))
  end)

  it("is not trusted with the system bundle: its chain ends outside it", function()
    assert.are.same({ n = 4, false, CERT_E_CHAINING, CERT_E_CHAINING, texts[CERT_E_CHAINING] },
      pack(ac.WinVerifyTrust(image)))
  end)
end)
