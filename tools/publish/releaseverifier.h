#pragma once

#include <QString>

class ProductIni;
class RsaKey;

// Checks a published release directory as an updater would see it: the signature of each product
// ini, then every file it lists (size and MD5, and for gzipped files those of the unpacked data).
class ReleaseVerifier final {
public:
    // The key is not owned and must outlive the verifier.
    ReleaseVerifier(QString dir, const RsaKey& key);

    // 0 when everything matches, 1 when anything does not (each problem is printed);
    // throws PublishError when there is nothing to check.
    int run();

private:
    bool checkIni(const QString& iniPath);
    // Applies every patch the manifest lists to its base, found in the other releases of the
    // mirror tree; returns how many were applied.
    int checkPatches(const QString& iniPath, const ProductIni& productIni);
    void problem(const QString& text);

    QString dir;
    const RsaKey& key;
    int problems = 0;
};
