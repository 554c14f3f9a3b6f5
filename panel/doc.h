// The document the single-document frame needs: it holds and stores nothing.
#pragma once

class CKVNDoc {
public:
    bool OnNewDocument() { return true; }
};
