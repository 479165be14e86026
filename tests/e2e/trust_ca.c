/* Adds a CA certificate (DER file) to the local machine's ROOT store of the
   current Wine prefix, so that HTTPS tests can use a CA of their own that no
   other prefix trusts:   TrustCa.exe CA.der */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    static BYTE der[65536];
    FILE* in = argc == 2 ? fopen(argv[1], "rb") : NULL;
    HCERTSTORE store;
    size_t length;
    BOOL added = FALSE;

    if (in == NULL)
        return 2;
    length = fread(der, 1, sizeof(der), in);
    fclose(in);
    store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (store != NULL) {
        added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, (DWORD)length,
                                                 CERT_STORE_ADD_REPLACE_EXISTING, NULL);
        CertCloseStore(store, 0);
    }
    if (!added)
        fprintf(stderr, "TrustCa: certificate not added (%lu)\n", GetLastError());
    return added ? 0 : 1;
}
