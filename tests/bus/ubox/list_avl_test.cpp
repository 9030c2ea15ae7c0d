// C linkage from C, the header set inside extern "C", list and avl basics.
#include <gtest/gtest.h>

extern "C" {
#include <libubox/avl.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
size_t tarnel_c_build_message(void);
}
#include <libubox/list.h>

namespace
{

TEST(Headers, CallableFromC)
{
    EXPECT_EQ(tarnel_c_build_message(), 16u);
}

struct Obj {
    uint32_t id;
    struct avl_node avl;
};

int cmp_id(const void *k1, const void *k2, void *)
{
    uint32_t a = *(const uint32_t *)k1, b = *(const uint32_t *)k2;
    return a < b ? -1 : a > b;
}

TEST(Avl, OrderedInsertFindDelete)
{
    struct avl_tree tree;
    Obj objs[5] = {{30, {}}, {10, {}}, {20, {}}, {50, {}}, {40, {}}};
    Obj dup = {20, {}};

    avl_init(&tree, cmp_id, false, NULL);
    for (Obj &o : objs) {
        o.avl.key = &o.id;
        ASSERT_EQ(avl_insert(&tree, &o.avl), 0);
    }
    dup.avl.key = &dup.id;
    EXPECT_EQ(avl_insert(&tree, &dup.avl), -1);
    EXPECT_EQ(tree.count, 5u);

    uint32_t key = 40;
    Obj *found = avl_find_element(&tree, &key, found, avl);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, &objs[4]);
    key = 41;
    EXPECT_EQ(avl_find_element(&tree, &key, found, avl), nullptr);

    avl_delete(&tree, &objs[0].avl);
    std::vector<uint32_t> order;
    Obj *o, *tmp;
    avl_for_each_element_safe(&tree, o, avl, tmp)
    {
        order.push_back(o->id);
        if (o->id == 40)
            avl_delete(&tree, &o->avl);
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{10, 20, 40, 50}));
    EXPECT_EQ(tree.count, 3u);
}

} // namespace
