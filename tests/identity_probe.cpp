// Loads (or creates) the device identity from a keychain folder, as the host does at start-up,
// and prints "<fingerprint hex> <device ID>". With "churn", rewrites the identity item with
// two alternating key sets until killed.
#include <cstdio>
#include <cstring>
#include <string>

#include "quillcore/identity/device_identity.h"
#include "quillcore/keychain/file_keychain.h"

using namespace quill;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <keychain folder> [churn]\n", argv[0]);
        return 64;
    }
    auto keychain = std::make_shared<FileKeychain>(argv[1]);
    KeychainKeyStore store(keychain, std::string(KeychainKeyStore::defaultService), "device-identity");
    try {
        if (argc > 2 && std::strcmp(argv[2], "churn") == 0) {
            const StoredIdentityKeys keys[2] = {StoredIdentityKeys(Bytes(32, 0xAA), Bytes(32, 0xBB)),
                                                StoredIdentityKeys(Bytes(32, 0xCC), Bytes(32, 0xDD))};
            std::printf("churning\n");
            std::fflush(stdout);
            for (unsigned i = 0;; ++i) store.save(keys[i % 2]);
        }
        DeviceIdentity identity = DeviceIdentity::loadOrCreate(store);
        std::printf("%s %s\n", hexString(identity.fingerprint()).c_str(), identity.deviceID().digits.c_str());
        return 0;
    } catch (const KeyStoreError& e) {
        std::printf("KeyStoreError: %s\n", e.description().c_str());
        return 2;
    } catch (const DeviceIdentityError& e) {
        std::printf("DeviceIdentityError: %s\n", e.description().c_str());
        return 3;
    } catch (const std::exception& e) {
        std::printf("error: %s\n", e.what());
        return 4;
    }
}
