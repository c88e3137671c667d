// A fuzz target without libFuzzer: its corpus and fixed mutations of it, as a test.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static std::vector<std::string> Corpus(const char* dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir);
    if (!d) return out;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        std::ifstream in(std::string(dir) + "/" + n, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        out.push_back(ss.str());
    }
    return out;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS]\n", argv[0]);
        return 2;
    }
    int mutations = argc > 2 ? atoi(argv[2]) : 200;
    std::vector<std::string> corpus = Corpus(argv[1]);
    if (corpus.empty()) corpus.push_back(std::string());
    std::mt19937 rng(12345);
    size_t runs = 0;
    for (const auto& seed : corpus) {
        LLVMFuzzerTestOneInput((const uint8_t*)seed.data(), seed.size());
        runs++;
        for (int m = 0; m < mutations; m++) {
            std::string s = seed;
            int edits = 1 + (int)(rng() % 8);
            for (int k = 0; k < edits; k++) {
                switch (rng() % 4) {
                    case 0:
                        if (!s.empty()) s[rng() % s.size()] = (char)rng();
                        break;
                    case 1:
                        s.insert(s.begin() + (s.empty() ? 0 : rng() % s.size()), (char)rng());
                        break;
                    case 2:
                        if (!s.empty()) s.erase(rng() % s.size(), 1 + rng() % 16);
                        break;
                    default:
                        if (!s.empty()) s.resize(rng() % (s.size() + 1));
                        break;
                }
            }
            LLVMFuzzerTestOneInput((const uint8_t*)s.data(), s.size());
            runs++;
        }
    }
    printf("%zu inputs run, no fault\n", runs);
    return 0;
}
