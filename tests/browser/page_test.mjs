// The operator's page in headless Chromium against a live registry (set up by
// tests/browser_test.sh): every figure, list and report it shows is checked against the JSON
// routes or the pushed images themselves, and each action against the store afterwards.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';

const base = process.env.QV_URL;
const site = process.env.QV_SITE;
const work = process.env.QV_WORK;
const shots = process.env.QV_SCREENSHOTS;
const host = new URL(base).host;
fs.mkdirSync(shots, { recursive: true });

let failures = 0;
async function step(name, fn) {
  try {
    await fn();
    console.log(`ok: ${name}`);
  } catch (e) {
    failures++;
    console.log(`FAIL: ${name}\n${e.stack}`);
  }
}

async function api(method, route, auth) {
  const headers = auth ? { Authorization: 'Basic ' + Buffer.from(auth).toString('base64') } : {};
  const r = await fetch(base + route, { method, headers, body: method === 'POST' ? '' : undefined });
  const text = await r.text();
  return { status: r.status, headers: r.headers, body: text ? JSON.parse(text) : null };
}

// What the pushed image says of itself: its digest and its config and layer bytes.
function layout(name) {
  const dir = path.join(work, name);
  const blob = d => fs.readFileSync(path.join(dir, 'blobs/sha256', d.slice(7)));
  const top = JSON.parse(fs.readFileSync(path.join(dir, 'index.json'))).manifests[0];
  const sizeOf = m => m.config.size + m.layers.reduce((n, l) => n + l.size, 0);
  const body = JSON.parse(blob(top.digest));
  const platforms = (body.manifests || []).map(c => ({
    platform: `${c.platform.os}/${c.platform.architecture}`,
    size: sizeOf(JSON.parse(blob(c.digest))),
    digest: c.digest,
  }));
  return { digest: top.digest, size: body.manifests ? 0 : sizeOf(body), platforms };
}

const pairs = list => list.map(e => `${e.repository}:${e.tag}`).sort();
const attrs = (page, selector, ...names) =>
  page.$$eval(selector, (els, names) => els.map(e => names.map(n => e.getAttribute(n))), names);

const browser = await chromium.launch({
  executablePath: process.env.QV_CHROMIUM,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
const context = await browser.newContext({ viewport: { width: 1280, height: 860 } });
const page = await context.newPage();
const pageErrors = [];
page.on('pageerror', e => pageErrors.push(e.message));
// The refusal the page is made to meet (409) is logged by the browser as a failed load.
page.on('console', m => m.type() === 'error' && !/status of 409/.test(m.text()) && pageErrors.push(m.text()));

// In-page navigation, so that the page keeps what it holds (the retention preview).
async function show(hash, view) {
  await page.evaluate(h => {
    document.body.dataset.ready = 'navigating';
    location.hash = h;
  }, hash);
  await page.waitForSelector(`body[data-view="${view}"][data-ready="1"]`);
}
async function confirm(expectText) {
  await page.waitForSelector('#confirm[open]');
  if (expectText) assert.match(await page.textContent('#confirm-text'), expectText);
  await page.click('#confirm-ok');
}

await page.goto(base + '/');
await page.waitForSelector('body[data-view="overview"][data-ready="1"]');

await step('the overview shows the statistics and every repository by the bytes it alone holds', async () => {
  const stats = (await api('GET', '/v2/_stats')).body;
  for (const [id, key] of [['repositories', 'repositories'], ['tags', 'tags'], ['blobs', 'blobs'], ['bytes', 'blob_bytes']])
    assert.equal(await page.getAttribute(`#stat-${id}`, 'data-value'), String(stats[key]), id);
  const usage = (await api('GET', '/v2/_usage')).body;
  assert.deepEqual(await attrs(page, '#usage-chart .bar', 'data-repo', 'data-bytes'),
    usage.repositories.map(r => [r.name, String(r.exclusive_bytes)]));
  assert.equal(usage.repositories[0].name, 'other');  // the one large layer
  await page.screenshot({ path: path.join(shots, 'overview.png') });
});

await step('a phone-sized screen shows the overview without sideways scrolling', async () => {
  const phone = await browser.newPage({ viewport: { width: 390, height: 844 }, isMobile: true });
  await phone.goto(base + '/');
  await phone.waitForSelector('body[data-view="overview"][data-ready="1"]');
  assert.ok(await phone.evaluate(() => document.documentElement.scrollWidth <= 390));
  await phone.screenshot({ path: path.join(shots, 'overview-phone.png') });
  await phone.close();
});

await step('a repository lists its tags newest first with their digests, sizes and pull commands', async () => {
  await page.click(`#repo-list a[href="#/repo/${encodeURIComponent('team/app')}"]`);
  await page.waitForSelector('body[data-view="repo"][data-ready="1"]');
  const want = [['latest', 'three'], ['v3', 'three'], ['v2', 'two'], ['v1', 'one']];
  assert.deepEqual(await attrs(page, '#tags tr[data-tag]', 'data-tag', 'data-digest', 'data-size'),
    want.map(([tag, image]) => [tag, layout(image).digest, String(layout(image).size)]));
  assert.deepEqual(await attrs(page, '#tags .referrers', 'data-count'), [['0'], ['0'], ['0'], ['1']]);
  assert.match(await page.textContent('#tags tr[data-tag="v1"] .referrers'), /application\/vnd\.example\.signature/);
  assert.deepEqual(await page.$$eval('#tags .pull', els => els.map(e => e.textContent.trim())),
    want.map(([tag]) => `podman pull --tls-verify=false ${host}/team/app:${tag}`));
  await page.screenshot({ path: path.join(shots, 'repository.png'), fullPage: true });

  await show('#/repo/' + encodeURIComponent('team/multi'), 'repo');
  assert.deepEqual(await attrs(page, '#tags .platform', 'data-platform', 'data-size'),
    layout('multi').platforms.map(p => [p.platform, String(p.size)]));
});

await step('deleting a tag asks first, says what stays, and deletes only that tag', async () => {
  await show('#/repo/' + encodeURIComponent('team/app'), 'repo');
  await page.click('#tags tr[data-tag="v3"] button.delete');
  await page.waitForSelector('#confirm[open]');
  assert.match(await page.textContent('#confirm-text'), /also tagged latest/);
  await page.click('#confirm-cancel');
  assert.deepEqual((await api('GET', '/v2/team/app/tags/list')).body.tags, ['latest', 'v1', 'v2', 'v3']);

  await show('#/repo/' + encodeURIComponent('team/multi'), 'repo');
  await page.click('#tags tr[data-tag="1.0"] button.delete');
  await confirm(/platform images stay/);
  await page.waitForSelector('body[data-view="repo"][data-ready="1"]');
  assert.deepEqual((await api('GET', '/v2/team/multi/tags/list')).body.tags, []);
  for (const p of JSON.parse(fs.readFileSync(path.join(work, 'multi/blobs/sha256', layout('multi').digest.slice(7)))).manifests)
    assert.equal((await api('HEAD', `/v2/team/multi/manifests/${p.digest}`)).status, 200, 'a child stays');
});

let preview;
await step('a retention preview lists exactly what the dry pass lists, marked in the tag list', async () => {
  await show('#/retention', 'retention');
  await page.fill('#keep_n', '1');
  await page.fill('#days', '0');
  await page.setChecked('#include_latest', false);
  await page.click('#preview');
  await page.waitForSelector('#preview-list li');
  const query = 'keep_n=1&days=0&include_latest=0';
  const dry = (await api('POST', `/v2/_retention?dry_run=1&${query}`)).body;
  preview = (await api('GET', `/v2/_retention_preview?${query}`)).body;
  assert.deepEqual(pairs(dry.deleted), ['team/app:v1', 'team/app:v2', 'team/app:v3']);
  assert.equal(dry.deleted.find(e => e.tag === 'v1').referrers.length, 1);  // the signature goes too
  const shown = await attrs(page, '#preview-list li', 'data-repo', 'data-tag');
  assert.deepEqual(shown.map(([r, t]) => `${r}:${t}`).sort(), pairs(dry.deleted));
  assert.equal(await page.getAttribute('#preview-bytes', 'data-value'), String(preview.bytes_freed));
  assert.ok(preview.bytes_freed > 0);
  await page.screenshot({ path: path.join(shots, 'retention.png'), fullPage: true });

  await show('#/repo/' + encodeURIComponent('team/app'), 'repo');
  assert.deepEqual(await page.$$eval('#tags tr.doomed', els => els.map(e => e.dataset.tag).sort()), ['v1', 'v2', 'v3']);
});

await step('Apply asks first, then deletes exactly what the preview listed', async () => {
  await show('#/retention', 'retention');
  await page.click('#apply');
  await confirm(/3 tags/);
  await page.waitForSelector('#retention-report[data-deleted]');
  assert.equal(await page.getAttribute('#retention-report', 'data-deleted'), '3');
  const reported = await attrs(page, '#retention-report li', 'data-repo', 'data-tag');
  assert.deepEqual(reported.map(([r, t]) => `${r}:${t}`).sort(), pairs(preview.report.deleted));
  assert.deepEqual((await api('GET', '/v2/team/app/tags/list')).body.tags, ['latest']);
  assert.deepEqual((await api('GET', '/v2/other/tags/list')).body.tags, ['1.0']);
});

const hold = path.join(site, 'gc-hold');
const percent = () => page.getAttribute('#gc-percent', 'data-value').then(Number);
async function heldRun(button) {
  fs.writeFileSync(hold, '');
  await page.click(button);
  if (button === '#gc-run') await confirm();
  await page.waitForFunction(() => {
    const p = Number(document.querySelector('#gc-percent')?.dataset.value);
    return p > 0 && p < 100;
  }, null, { timeout: 20000 });
}

await step('a refused collection is a calm notice, not a failure', async () => {
  await show('#/gc', 'gc');
  const upload = await fetch(base + '/v2/team/app/blobs/uploads/', { method: 'POST', body: '' });
  assert.equal(upload.status, 202);
  await page.click('#gc-dry');
  await page.waitForFunction(() => /uploads in progress/.test(document.querySelector('#gc-message')?.textContent || ''));
  assert.equal((await page.textContent('#error')).trim(), '');
  assert.equal((await fetch(base + upload.headers.get('location'), { method: 'DELETE' })).status, 204);
});

await step('Cancel stops a held collection, which reports it', async () => {
  await heldRun('#gc-dry');
  // The run is let go only once the cancel request is in.
  await Promise.all([
    page.waitForResponse(r => r.request().method() === 'DELETE' && r.url().endsWith('/v2/_gc')),
    page.click('#gc-cancel'),
  ]);
  fs.rmSync(hold, { force: true });
  await page.waitForSelector('#gc-report[data-cancelled="true"]', { timeout: 20000 });
});

await step('a collection\'s bar moves between 0 and 100 % and ends with what the preview promised', async () => {
  const stats = (await api('GET', '/v2/_stats')).body;
  await heldRun('#gc-run');
  const seen = await percent();
  assert.ok(seen > 0 && seen < 100, `seen ${seen}`);
  assert.match(await page.textContent('#gc-phase'), /walking|deleting/);
  await page.screenshot({ path: path.join(shots, 'collection.png'), fullPage: true });
  fs.rmSync(hold, { force: true });
  await page.waitForSelector('#gc-report[data-cancelled="false"]', { timeout: 30000 });
  assert.equal(await percent(), 100);
  // Freed: what the preview said the pass would untie, and the 600 blobs nothing referenced.
  let garbage = 0;
  for (let i = 0; i < 600; i++) garbage += `unreferenced ${i}`.length;
  assert.equal(await page.getAttribute('#gc-report', 'data-bytes'), String(preview.bytes_freed + garbage));
  assert.equal(await page.getAttribute('#gc-report', 'data-deleted'), String(preview.blobs_freed + 600));
  assert.equal((await api('GET', '/v2/_stats')).body.blobs, stats.blobs - preview.blobs_freed - 600);
});

await step('a repository lists the manifests no tag names, deletes one, and goes whole, each after asking', async () => {
  await show('#/repo/' + encodeURIComponent('team/multi'), 'repo');
  const children = layout('multi').platforms.map(p => p.digest);
  assert.deepEqual((await attrs(page, '#untagged tr[data-digest]', 'data-digest')).flat().sort(), [...children].sort());
  await page.click(`#untagged tr[data-digest="${children[0]}"] button.delete`);
  await confirm(/No tag names it/);
  // The view drawn again without it: a click on the old one would be lost with it.
  await page.waitForSelector(`#untagged tr[data-digest="${children[0]}"]`, { state: 'detached' });
  await page.waitForSelector(`body[data-view="repo"][data-ready="1"] #untagged tr[data-digest="${children[1]}"]`);
  assert.equal((await api('HEAD', `/v2/team/multi/manifests/${children[0]}`)).status, 404);
  await page.click('#delete-repository');
  await confirm(/Repositories below it \(team\/multi\/…\) stay/);
  await page.waitForSelector('body[data-view="overview"][data-ready="1"]');
  assert.deepEqual((await api('GET', '/v2/_catalog')).body.repositories, ['other', 'team/app']);
});

await step('configured rules are previewed rule by rule and applied as previewed; immutable tags are marked', async () => {
  fs.writeFileSync(path.join(site, 'config.json'), JSON.stringify({
    registry_retention_policies: [{ repositories: 'team/**', keep_n: 5 }, { repositories: '*' }],
    registry_immutable_tags: [{ repositories: 'team/**', tags: 'latest' }],
  }));
  try {
    assert.equal((await api('GET', '/v2/team/app/manifests/latest')).status, 200);
    await show('#/repo/' + encodeURIComponent('team/app'), 'repo');
    assert.ok(Number(await page.getAttribute('#tags tr[data-tag="latest"]', 'data-pulled')) > 0);
    assert.match(await page.textContent('#tags tr[data-tag="latest"]'), /immutable/);
    assert.equal(await page.$('#tags tr[data-tag="latest"] button.delete'), null);
    await show('#/retention', 'retention');
    await page.click('#rules-preview');
    await page.waitForSelector('#rules-table tr[data-rule="1"]');
    const preview = (await api('GET', '/v2/_retention_preview')).body;
    assert.deepEqual(await attrs(page, '#rules-table tr[data-rule]', 'data-rule', 'data-deleted'),
      preview.report.rules.map(r => [String(r.rule), String(r.tags_deleted)]));
    assert.deepEqual(pairs(preview.report.deleted), ['other:1.0']);
    assert.match(await page.textContent('#preview-list'), /rule 1/);
    await page.screenshot({ path: path.join(shots, 'retention-rules.png'), fullPage: true });
    await page.click('#rules-apply');
    await confirm(/1 tag by the configured rules/);
    await page.waitForSelector('#retention-report[data-deleted="1"]');
    assert.deepEqual((await api('GET', '/v2/_catalog')).body.repositories, ['team/app']);
  } finally {
    fs.rmSync(path.join(site, 'config.json'), { force: true });
  }
});

await step('with authentication on, the page loads only once the credentials are given', async () => {
  const hash = crypto.createHash('sha256').update('s3cret').digest('hex');
  fs.writeFileSync(path.join(site, 'config.json'),
    JSON.stringify({ registry_auth_user: 'ops', registry_auth_sha256: hash }));
  try {
    // Without credentials the browser is refused (Chromium, asked for none, gives up on the
    // challenge): no page, and the server sends no byte of it.
    const anonymous = await browser.newContext();
    const ap = await anonymous.newPage();
    const outcome = await ap.goto(base + '/').then(r => String(r.status()), e => e.message);
    assert.match(outcome, /^401$|ERR_INVALID_AUTH_CREDENTIALS/);
    await anonymous.close();
    const raw = await fetch(base + '/');
    assert.equal(raw.status, 401);
    assert.doesNotMatch(await raw.text(), /<html/);
    const signed = await browser.newContext({ httpCredentials: { username: 'ops', password: 's3cret' } });
    const p = await signed.newPage();
    await p.goto(base + '/');
    await p.waitForSelector('body[data-view="overview"][data-ready="1"]');
    const stats = (await api('GET', '/v2/_stats', 'ops:s3cret')).body;
    assert.equal(await p.getAttribute('#stat-tags', 'data-value'), String(stats.tags));
    assert.match(await p.textContent('#whoami'), /ops \(administrator\)/);
    await signed.close();
    // Opened with the credentials in its address, every request of the page still goes out.
    const inline = await browser.newContext();
    const ip = await inline.newPage();
    const url = new URL(base + '/');
    url.username = 'ops';
    url.password = 's3cret';
    await ip.goto(url.href);
    await ip.waitForSelector('body[data-view="overview"][data-ready="1"]');
    assert.equal(await ip.getAttribute('#stat-tags', 'data-value'), String(stats.tags));
    await inline.close();
  } finally {
    fs.rmSync(path.join(site, 'config.json'), { force: true });
  }
});

await step('a user who may only pull is shown who they are and the repositories they may pull', async () => {
  const users = path.join(site, 'users');
  execFileSync(path.join(process.env.QV_BUILD, 'qv_passwd'), ['--users', users, 'ci'], { input: 'ci-pw\n' });
  fs.writeFileSync(path.join(site, 'config.json'), JSON.stringify({
    registry_users_file: users,
    registry_access: [{ repositories: 'team/**', users: ['ci'], actions: ['pull'] }],
  }));
  try {
    const ctx = await browser.newContext({ httpCredentials: { username: 'ci', password: 'ci-pw' } });
    const p = await ctx.newPage();
    await p.goto(base + '/');
    await p.waitForSelector('body[data-view="overview"][data-ready="1"] #not-admin');
    assert.match(await p.textContent('#whoami'), /^ci$/);
    assert.deepEqual(await p.$$eval('#pullable li', els => els.map(e => e.textContent)), ['team/app']);
    assert.ok(await p.$eval('nav a[data-nav="gc"]', a => a.hidden));
    await ctx.close();
  } finally {
    fs.rmSync(path.join(site, 'config.json'), { force: true });
  }
});

await step('the page ran without script errors or refused loads', async () => {
  assert.deepEqual(pageErrors, []);
});

await browser.close();
if (failures) {
  console.log(`${failures} browser check(s) failed`);
  process.exit(1);
}
console.log('all browser checks passed');
