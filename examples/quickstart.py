"""Build a small store of embeddings, search it, and print the results."""
import random

import quillmere

DIM = 64
random.seed(42)


def random_vector():
    return [random.gauss(0.0, 1.0) for _ in range(DIM)]


# Initial entries are (vector, id) tuples; ids are any unsigned 64-bit integers.
documents = [(random_vector(), doc_id) for doc_id in range(1000)]
store = quillmere.Vectorstore(DIM, documents)

# Append more entries one at a time.
for doc_id in range(1000, 1100):
    store.insert(random_vector(), doc_id)

print(store)

# A query close to document 123: the nearest neighbour should be 123 itself.
query = [x + random.gauss(0.0, 0.1) for x in documents[123][0]]
print("search(query, 5):")
for score, doc_id in store.search(query, 5):
    print(f"  id={doc_id:5d}  score={score:.6f}")

# The same search across worker threads gives the same list, bit for bit.
assert store.parallel_search(query, 5) == store.search(query, 5)
print("parallel_search agrees with search")

print("cosine_similarity(query, document 123) =", quillmere.cosine_similarity(query, documents[123][0]))
